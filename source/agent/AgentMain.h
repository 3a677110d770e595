#pragma once

#include <string>

// The agent's entry. `commandLine` is the program's arguments joined by
// single spaces; the browser passes the start URL as the first. Returns the
// exit status: 0 after a refused start or a normal stop, -1 when the
// listener could not be set up.
int WinMain(const std::string& commandLine);

// Listens on g_listenPort of the loopback interface and serves until the
// quit flag is set or no socket is left. 0 after a normal stop, -1 when the
// listener could not be set up or the loop failed.
int RunServer();
