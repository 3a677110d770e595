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

// One logged line with its time stamp split off; the stamp must be the local
// time of the call.
std::string Logged(StdLog& log, Socket* socket, int level)
{
	testing::internal::CaptureStdout();
	const std::time_t before = std::time(nullptr);
	log.Log(nullptr, socket, "Closing", 120, "Sending all data before closing", static_cast<LogLevel>(level));
	const std::time_t after = std::time(nullptr);
	const std::string line = testing::internal::GetCapturedStdout();
	if (line.empty())
		return line;
	const std::string stamp = line.substr(0, 19);
	EXPECT_TRUE(stamp == Stamp(before) || stamp == Stamp(after)) << line;
	return line.substr(19);
}

}

TEST(StdoutLog, LineFormatsWithLocalTimeStamp)
{
	setenv("TZ", "KST-9", 1); // a zone away from UTC, so local time is what is printed
	tzset();
	StdoutLog log(0);
	Socket socket{344};
	EXPECT_EQ(" :: fd 344 :: Closing: 120 Sending all data before closing (Info)\n", Logged(log, &socket, 0));
	EXPECT_EQ(" :: Closing: 120 Sending all data before closing (Warning)\n", Logged(log, nullptr, 1));
	EXPECT_EQ(" :: Closing: 120 Sending all data before closing (Error)\n", Logged(log, nullptr, 2));
	EXPECT_EQ(" :: Closing: 120 Sending all data before closing (Fatal)\n", Logged(log, nullptr, 3));
	EXPECT_EQ(" :: Closing: 120 Sending all data before closing ()\n", Logged(log, nullptr, 4));
	EXPECT_EQ("", Logged(log, nullptr, -1));
}

TEST(StdoutLog, MinimumLevelFiltersLines)
{
	StdoutLog log(2);
	EXPECT_EQ("", Logged(log, nullptr, 0));
	EXPECT_EQ("", Logged(log, nullptr, 1));
	EXPECT_NE("", Logged(log, nullptr, 2));
	EXPECT_NE("", Logged(log, nullptr, 3));
}
