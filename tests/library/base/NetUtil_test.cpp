#include "base/NetUtil.h"

#include "platform/netdb.h"

#include <arpa/inet.h>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <random>

TEST(NetUtil, NumbersAndHexText)
{
	for (long n : {0L, -5L, 42L, LONG_MAX, LONG_MIN})
		EXPECT_EQ(std::to_string(n), NetUtil::LongToString(n));

	std::mt19937 random(1);
	for (int i = 0; i < 1000; ++i)
	{
		char hex[16];
		snprintf(hex, sizeof(hex), i % 2 ? "%x" : "%X", static_cast<unsigned>(random()));
		ASSERT_EQ(std::strtoul(hex, nullptr, 16), NetUtil::HexToUnsigned(hex)) << hex;
	}
	EXPECT_EQ(0u, NetUtil::HexToUnsigned(""));
	EXPECT_EQ(0x1A0u, NetUtil::HexToUnsigned("1a0"));
	// No byte is rejected; bytes of 0x80 and above count as negative.
	EXPECT_EQ(32u, NetUtil::HexToUnsigned("1G"));
	EXPECT_EQ(0xFFFFFFB9u, NetUtil::HexToUnsigned("\xE9"));
}

TEST(NetUtil, UrlDecodeAndEncode)
{
	EXPECT_EQ("a+b c", NetUtil::UrlDecode("a%2Bb+c"));
	EXPECT_EQ("AB\xE9", NetUtil::UrlDecode("%41%42%e9"));
	EXPECT_EQ("100%", NetUtil::UrlDecode("100%"));
	EXPECT_EQ("%4", NetUtil::UrlDecode("%4"));
	EXPECT_EQ("%zz%", NetUtil::UrlDecode("%zz%"));
	EXPECT_EQ("%41", NetUtil::UrlDecode("%2541"));

	EXPECT_EQ("a+b%26c%E9%2D%2E%5F%7E", NetUtil::UrlEncode("a b&c\xE9-._~"));
	std::mt19937 random(2);
	for (int i = 0; i < 200; ++i)
	{
		std::string bytes;
		for (int n = random() % 40; n > 0; --n)
			bytes += static_cast<char>(random());
		ASSERT_EQ(bytes, NetUtil::UrlDecode(NetUtil::UrlEncode(bytes)));
	}
}

TEST(NetUtil, DottedTextIsReadWithoutLookup)
{
	EXPECT_TRUE(NetUtil::IsIpv4Text("127.0.0.1"));
	EXPECT_TRUE(NetUtil::IsIpv4Text("..."));
	for (const char* text : {"1.2.3", "1.2.3.4.5", "a.b.c.d", "", " 1.2.3.4", "1.2.3.4 "})
		EXPECT_FALSE(NetUtil::IsIpv4Text(text)) << text;

	std::uint32_t address = 1;
	EXPECT_TRUE(NetUtil::ResolveHost("10.0.0.300", address));
	EXPECT_EQ(inet_addr("10.0.0.44"), address);
	EXPECT_TRUE(NetUtil::ResolveHost("...", address));
	EXPECT_EQ(0u, address);

	sockaddr_in sa;
	ASSERT_TRUE(NetUtil::ResolveToSockaddr("192.168.0.1", sa));
	EXPECT_EQ(AF_INET, sa.sin_family);
	EXPECT_EQ(0, sa.sin_port);
	EXPECT_EQ(inet_addr("192.168.0.1"), sa.sin_addr.s_addr);
}

TEST(NetUtil, AddressesToText)
{
	std::mt19937 random(3);
	for (int i = 0; i < 200; ++i)
	{
		in_addr a;
		a.s_addr = random();
		char oracle[INET_ADDRSTRLEN];
		inet_ntop(AF_INET, &a, oracle, sizeof(oracle));
		std::string text = "stale";
		ASSERT_TRUE(NetUtil::AddressToText(a.s_addr, text));
		ASSERT_EQ(oracle, text);
	}

	sockaddr_in6 v6 = {};
	v6.sin6_family = AF_INET6;
	std::string host = "stale", service = "stale";
	EXPECT_FALSE(NetUtil::SockaddrToHostService(reinterpret_cast<sockaddr*>(&v6), sizeof(v6), host, service,
		ZC_NI_NUMERICHOST));
	EXPECT_EQ("", host);
	EXPECT_EQ("", service);
}

TEST(NetUtil, HostLookupsUseTheResolver)
{
	// Both answered from the hosts file: no query leaves the machine.
	std::uint32_t address = 0;
	ASSERT_TRUE(NetUtil::ResolveHost("localhost", address));
	EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
	sockaddr_in loopback = {};
	loopback.sin_family = AF_INET;
	loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	std::string name;
	ASSERT_TRUE(NetUtil::SockaddrToText(reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback), name, 0));
	ASSERT_TRUE(NetUtil::ResolveHost(name, address)) << name;
	EXPECT_EQ(htonl(INADDR_LOOPBACK), address);

	// Not a valid host name: the resolver refuses it without asking a server.
	address = 1;
	EXPECT_FALSE(NetUtil::ResolveHost("bad host name!", address));
	EXPECT_EQ(0u, address);
}

TEST(NetUtil, EnvironmentValuesUpTo2047Bytes)
{
	NetUtil::SetEnvVar("ZC_NETUTIL_TEST", "");
	EXPECT_EQ("", NetUtil::GetEnvVar("ZC_NETUTIL_TEST"));
	const std::string longest(2047, 'v');
	NetUtil::SetEnvVar("ZC_NETUTIL_TEST", longest);
	EXPECT_EQ(longest, NetUtil::GetEnvVar("ZC_NETUTIL_TEST"));
	NetUtil::SetEnvVar("ZC_NETUTIL_TEST", longest + "v");
	EXPECT_EQ("", NetUtil::GetEnvVar("ZC_NETUTIL_TEST"));
	NetUtil::SetEnvVar("ZC_NETUTIL_TEST", "");
	EXPECT_EQ(nullptr, std::getenv("ZC_NETUTIL_TEST"));
}

TEST(NetUtil, LowerCaseTouchesOnlyAsciiLetters)
{
	std::string all;
	for (int c = 1; c < 256; ++c)
		all += static_cast<char>(c);
	const std::string lower = NetUtil::ToLowerAscii(all);
	ASSERT_EQ(all.size(), lower.size());
	for (std::size_t i = 0; i < all.size(); ++i)
		EXPECT_EQ(std::tolower(static_cast<unsigned char>(all[i])), static_cast<unsigned char>(lower[i])) << i;
	EXPECT_EQ("sec-websocket-key", NetUtil::ToLowerAscii("Sec-WebSocket-Key"));
}

TEST(NetUtil, RandomSourceStartsWithTheTimeOfItsFirstCall)
{
	const auto before = static_cast<std::uint32_t>(time(nullptr));
	const std::uint32_t first = NetUtil::RandomNumber();
	const auto after = static_cast<std::uint32_t>(time(nullptr));
	EXPECT_LE(before, first);
	EXPECT_GE(after, first);
	EXPECT_NE(first, NetUtil::RandomNumber());
}

TEST(NetUtil, ClockAndFixedTexts)
{
	timeval ours, oracle;
	gettimeofday(&oracle, nullptr);
	NetUtil::NowTimeval(ours);
	EXPECT_LT(ours.tv_usec, 1000000);
	EXPECT_LE(oracle.tv_sec, ours.tv_sec);
	EXPECT_LE(ours.tv_sec, oracle.tv_sec + 1);
	EXPECT_EQ("Not available", NetUtil::NotAvailable());
}
