// The agent program. The browser starts it through its URL scheme with the
// start URL as the first argument.

#include "agent/AgentMain.h"

#include <string>

int main(int argc, char** argv)
{
	std::string commandLine;
	for (int i = 1; i < argc; ++i)
		commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
	return WinMain(commandLine);
}
