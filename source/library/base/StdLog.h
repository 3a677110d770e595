#pragma once

#include <string>

class ISocketHandler;
class Socket;

// The level of a log line. Any int is a level: values outside 0-3 have no word.
enum LogLevel : int
{
	LOG_LEVEL_INFO = 0,
	LOG_LEVEL_WARNING = 1,
	LOG_LEVEL_ERROR = 2,
	LOG_LEVEL_FATAL = 3,
};

// Where the socket framework reports its failures.
class StdLog
{
public:
	virtual ~StdLog() = default;
	// socket may be null.
	virtual void Log(ISocketHandler* handler, Socket* socket, const std::string& call, int code,
		const std::string& text, LogLevel level) = 0;
};

// The descriptor of a socket as log lines print it. This layer cannot look
// inside a Socket, so the socket framework defines this beside Socket itself.
int SocketDescriptorForLog(const Socket& socket);
