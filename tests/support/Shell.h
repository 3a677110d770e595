#pragma once

// Runs a shell command (an independent tool: openssl, rhash, python3) and
// returns what it printed, standard error included.

#include <cstdio>
#include <memory>
#include <string>

inline std::string Shell(const std::string& command)
{
	std::string output;
	std::unique_ptr<FILE, decltype(&pclose)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
	char buffer[4096];
	for (size_t n; pipe && (n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;)
		output.append(buffer, n);
	return output;
}
