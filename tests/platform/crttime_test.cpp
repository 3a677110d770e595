#include "platform/crttime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace
{

std::int64_t Local(int year, int month, int day, int hour, int minute, int second)
{
	struct tm fields {};
	fields.tm_year = year - 1900;
	fields.tm_mon = month - 1;
	fields.tm_mday = day;
	fields.tm_hour = hour;
	fields.tm_min = minute;
	fields.tm_sec = second;
	fields.tm_isdst = 0;
	return _mktime64(&fields);
}

} // namespace

TEST(CrtTime, LocalTimeWithinTheWindowsRange)
{
	setenv("TZ", "KST-9", 1);
	tzset();
	EXPECT_EQ(0, Local(1970, 1, 1, 9, 0, 0));
	EXPECT_EQ(-1, Local(1970, 1, 1, 8, 59, 59));
	// Oracle: `date -u -d '2049-12-31 14:59:59' +%s`, the same instant in UTC.
	EXPECT_EQ(2524575599LL, Local(2049, 12, 31, 23, 59, 59));
	EXPECT_EQ(32535215999LL, Local(3001, 1, 1, 8, 59, 59));
	EXPECT_EQ(-1, Local(3001, 1, 1, 9, 0, 0));
}
