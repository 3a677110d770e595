#pragma once

#include <map>
#include <string>

// The start URL the browser hands the agent: "zimraCert://…/?port=N" for a
// plain listener, "zimraCerts://…/?port=N" for TLS.

// Every key=value pair of the query: a key is a run of letters, digits, "_",
// "+" and "%" directly before "="; the value runs to the next "&". Nothing is
// decoded; a later duplicate key wins; text of another form is skipped.
std::map<std::string, std::string> ParseQueryString(const std::string& query);

struct StartOptions
{
	bool useTls = false;
	int port = 0;
};

// Reads the command line (the program's arguments joined by spaces). The
// scheme is found anywhere in it, in any letter case; the query is the text
// after the first "/?". False for a refused start: no scheme, no query, no
// "port", a port without digits or outside 1..65533.
bool ReadStartUrl(const std::string& commandLine, StartOptions* out);
