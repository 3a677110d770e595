#include "base/NetUtil.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <random>

TEST(NetUtil, NumbersAndHexText)
{
	std::mt19937 random(1);
	for (int i = 0; i < 1000; ++i)
	{
		char hex[16];
		snprintf(hex, sizeof(hex), i % 2 ? "%x" : "%X", static_cast<unsigned>(random()));
		ASSERT_EQ(std::strtoul(hex, nullptr, 16), NetUtil::HexToUnsigned(hex)) << hex;
	}
	EXPECT_EQ(0u, NetUtil::HexToUnsigned(""));
	// No byte is rejected; bytes of 0x80 and above count as negative.
	EXPECT_EQ(32u, NetUtil::HexToUnsigned("1G"));
	EXPECT_EQ(0xFFFFFFB9u, NetUtil::HexToUnsigned("\xE9"));
}

// Every byte through every spelling of its two hex digits (upper, lower,
// mixed case); "+" is a space; a malformed escape stands as it is.
TEST(NetUtil, UrlDecodeAndEncode)
{
	for (int byte = 0; byte < 256; ++byte)
	{
		char spellings[3][8];
		snprintf(spellings[0], 8, "x%%%02Xy", byte);
		snprintf(spellings[1], 8, "x%%%02xy", byte);
		snprintf(spellings[2], 8, "x%%%X%xy", byte >> 4, byte & 0x0F);
		for (const char* escaped : spellings)
			EXPECT_EQ("x" + std::string(1, static_cast<char>(byte)) + "y", NetUtil::UrlDecode(escaped)) << escaped;
	}
	EXPECT_EQ(" a+b c", NetUtil::UrlDecode("+a%2Bb+c"));
	EXPECT_EQ("100%%4%zz", NetUtil::UrlDecode("100%%4%zz"));
	EXPECT_EQ("%41", NetUtil::UrlDecode("%2541"));
	EXPECT_EQ("a+b%26c%E9%2D%2E%5F%7E%00%80Zz09", NetUtil::UrlEncode(std::string("a b&c\xE9-._~\0\x80Zz09", 16)));
}

TEST(NetUtil, DottedTextIsReadWithoutLookup)
{
	EXPECT_TRUE(NetUtil::IsIpv4Text("127.0.0.1"));
	EXPECT_TRUE(NetUtil::IsIpv4Text("..."));
	for (const char* text : { "1.2.3", "1.2.3.4.5", "a.b.c.d", "", " 1.2.3.4" })
		EXPECT_FALSE(NetUtil::IsIpv4Text(text)) << text;
	std::uint32_t address = 1;
	EXPECT_TRUE(NetUtil::ResolveHost("10.0.0.300", address));
	EXPECT_EQ(inet_addr("10.0.0.44"), address);
	EXPECT_TRUE(NetUtil::ResolveHost("...", address));
	EXPECT_EQ(0u, address);
}

TEST(NetUtil, HostLookupsAndAddressTexts)
{
	// Answered from the hosts file: no query leaves the machine.
	std::uint32_t address = 0;
	ASSERT_TRUE(NetUtil::ResolveHost("localhost", address));
	EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
	sockaddr_in loopback = {};
	loopback.sin_family = AF_INET;
	loopback.sin_addr.s_addr = address;
	std::string name;
	ASSERT_TRUE(NetUtil::SockaddrToText(reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback), name, 0));
	ASSERT_TRUE(NetUtil::ResolveHost(name, address)) << name;
	EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
	EXPECT_FALSE(NetUtil::ResolveHost("bad host name!", address)); // refused without asking a server
	EXPECT_EQ(0u, address);
	ASSERT_TRUE(NetUtil::AddressToText(inet_addr("192.168.0.1"), name));
	EXPECT_EQ("192.168.0.1", name);
}

TEST(NetUtil, EnvironmentValuesUpTo2047BytesRandomSeedAndClock)
{
	const std::string longest(2047, 'v');
	NetUtil::SetEnvVar("ZC_NETUTIL_TEST", longest);
	EXPECT_EQ(longest, NetUtil::GetEnvVar("ZC_NETUTIL_TEST"));
	NetUtil::SetEnvVar("ZC_NETUTIL_TEST", longest + "v");
	EXPECT_EQ("", NetUtil::GetEnvVar("ZC_NETUTIL_TEST"));
	NetUtil::SetEnvVar("ZC_NETUTIL_TEST", "");
	EXPECT_EQ(nullptr, std::getenv("ZC_NETUTIL_TEST"));

	const auto before = static_cast<std::uint32_t>(time(nullptr));
	const std::uint32_t first = NetUtil::RandomNumber(); // the seed: the time of the first call
	EXPECT_LE(before, first);
	EXPECT_GE(static_cast<std::uint32_t>(time(nullptr)), first);
	timeval ours, oracle;
	gettimeofday(&oracle, nullptr);
	NetUtil::NowTimeval(ours);
	EXPECT_LT(ours.tv_usec, 1000000);
	EXPECT_LE(oracle.tv_sec, ours.tv_sec);
	EXPECT_LE(ours.tv_sec, oracle.tv_sec + 1);
}
