#include "base/StdoutLog.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

class Socket
{
public:
	int fd;
};

int SocketDescriptorForLog(const Socket& socket)
{
	return socket.fd;
}

namespace {

std::string Stamp(std::time_t t)
{
	struct tm local;
	localtime_r(&t, &local);
	char text[32];
	strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
	return text;
}

// The line logged at a level, less its time stamp: the local time of the call.
std::string Logged(StdLog& log, Socket* socket, int level)
{
	testing::internal::CaptureStdout();
	const std::time_t before = std::time(nullptr);
	log.Log(nullptr, socket, "Closing", 120, "Sending all data before closing", static_cast<LogLevel>(level));
	const std::time_t after = std::time(nullptr);
	const std::string line = testing::internal::GetCapturedStdout();
	if (line.empty())
		return line;
	EXPECT_TRUE(line.compare(0, 19, Stamp(before)) == 0 || line.compare(0, 19, Stamp(after)) == 0) << line;
	return line.substr(19);
}

}

TEST(StdoutLog, LineFormatsAndLevels)
{
	setenv("TZ", "KST-9", 1); // away from UTC, so that local time must be used
	tzset();
	StdoutLog all(0);
	Socket socket{344};
	EXPECT_EQ(" :: fd 344 :: Closing: 120 Sending all data before closing (Info)\n", Logged(all, &socket, 0));
	for (const auto& [level, name] : std::initializer_list<std::pair<int, std::string>>{ { 1, "Warning" }, { 2, "Error" }, { 3, "Fatal" }, { 4, "" } })
		EXPECT_EQ(" :: Closing: 120 Sending all data before closing (" + name + ")\n", Logged(all, nullptr, level));
	EXPECT_EQ("", Logged(all, nullptr, -1));
	StdoutLog serious(2);
	EXPECT_EQ("", Logged(serious, nullptr, 1));
	EXPECT_NE("", Logged(serious, nullptr, 2));
}
