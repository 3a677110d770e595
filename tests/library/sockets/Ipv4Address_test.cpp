#include "sockets/Ipv4Address.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

TEST(Ipv4Address, TextFormsValidityAndComparison)
{
	Ipv4Address any(8080);
	EXPECT_EQ("0.0.0.0", any.ToText(false));
	EXPECT_EQ("0.0.0.0:8080", any.ToText(true));
	EXPECT_TRUE(any.IsValid());

	Ipv4Address loopback("127.0.0.1", 0);
	EXPECT_EQ("127.0.0.1:0", loopback.ToText(true));
	EXPECT_EQ(Ipv4Address(htonl(INADDR_LOOPBACK), 0).ToText(true), loopback.ToText(true));

	// A host text that does not resolve: invalid, but its copy is a valid
	// 0.0.0.0 with the port, and equal to it.
	Ipv4Address unknown("", 443);
	EXPECT_FALSE(unknown.IsValid());
	EXPECT_EQ(443, unknown.GetPort());
	std::unique_ptr<SocketAddress> copy = unknown.Clone();
	EXPECT_TRUE(copy->IsValid());
	EXPECT_EQ("0.0.0.0:443", copy->ToText(true));
	EXPECT_TRUE(copy->Equals(unknown));
	EXPECT_FALSE(Ipv4Address(444).Equals(Ipv4Address(443)));
	unknown.SetSockAddr(loopback.SockAddr());
	EXPECT_FALSE(unknown.IsValid());
	EXPECT_EQ("127.0.0.1:0", unknown.ToText(true));
}
