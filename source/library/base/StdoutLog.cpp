#include "base/StdoutLog.h"

#include "platform/sync.h"

#include <cstdio>
#include <ctime>

namespace {

const char* LevelWord(int level)
{
	switch (level)
	{
	case LOG_LEVEL_INFO:
		return "Info";
	case LOG_LEVEL_WARNING:
		return "Warning";
	case LOG_LEVEL_ERROR:
		return "Error";
	case LOG_LEVEL_FATAL:
		return "Fatal";
	default:
		return "";
	}
}

}

StdoutLog::StdoutLog(int minimumLevel)
	: m_minimumLevel(minimumLevel)
{
}

void StdoutLog::Log(ISocketHandler*, Socket* socket, const std::string& call, int code, const std::string& text,
	LogLevel level)
{
	if (level < m_minimumLevel)
		return;
	const std::time_t now = static_cast<std::time_t>(_time64(nullptr));
	struct tm local = {};
	localtime_s(&local, &now);
	char stamp[64];
	std::snprintf(stamp, sizeof(stamp), "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
		local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
	// One printf per line, so that lines from several threads do not interleave.
	if (socket != nullptr)
		std::printf("%s :: fd %d :: %s: %d %s (%s)\n", stamp, SocketDescriptorForLog(*socket), call.c_str(), code,
			text.c_str(), LevelWord(level));
	else
		std::printf("%s :: %s: %d %s (%s)\n", stamp, call.c_str(), code, text.c_str(), LevelWord(level));
}
