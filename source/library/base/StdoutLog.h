#pragma once

#include "base/StdLog.h"

// Writes each log line at or above the minimum level to standard output, as
// "<local time> :: [fd <descriptor> :: ]<call>: <code> <text> (<level word>)".
class StdoutLog : public StdLog
{
public:
	explicit StdoutLog(int minimumLevel);

	void Log(ISocketHandler* handler, Socket* socket, const std::string& call, int code,
		const std::string& text, LogLevel level) override;

private:
	int m_minimumLevel;
};
