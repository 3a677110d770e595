#include "sockets/WinsockInit.h"

#include <gtest/gtest.h>

#include <string>

TEST(WinsockErrorText, SentencesAndTheFormattedRest)
{
	EXPECT_STREQ("Resource temporarily unavailable.", WinsockErrorText(WSAEWOULDBLOCK));
	EXPECT_STREQ("Host not found.", WinsockErrorText(WSAHOST_NOT_FOUND));
	EXPECT_STREQ("Connection refused.", WinsockErrorText(WSAECONNREFUSED));
	EXPECT_STREQ("Winsock error code: 0", WinsockErrorText(0));
	const char* first = WinsockErrorText(10059);
	EXPECT_STREQ("Winsock error code: 10059", first);
	const char* second = WinsockErrorText(-1);
	EXPECT_EQ(first, second);
	EXPECT_STREQ("Winsock error code: -1", first);
}
