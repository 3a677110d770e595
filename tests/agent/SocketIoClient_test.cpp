#include "PollingServer.h"

#include "base/Json2.h"
#include "support/Shell.h"

#include <gtest/gtest.h>

namespace
{

// Runs the socket.io-client 1.7.4 scenario against the server: what the client
// saw (the last line of its output), after a clean close that lets another
// page open.
Json2 RunClient(const std::string& scenario)
{
	PollingServer server;
	std::string output = Shell("cd " ZC_SOURCE_DIR "/tests/peers && NODE_PATH=node_modules node "
		"../agent/node/sio_client.js " + std::to_string(server.Port()) + " " + scenario);
	const std::size_t last = output.rfind("{\"connected\"");
	EXPECT_NE(std::string::npos, last) << output;
	Json2 seen = last == std::string::npos ? Json2() : Json2::Parse(output.substr(last));
	if (seen.Type() == Json2::Object)
	{
		EXPECT_EQ("[]", seen["errors"].ToString(true));
		EXPECT_EQ("\"io client disconnect\"", seen["disconnect"].ToString(true));
	}
	EXPECT_TRUE(WaitUntil([] { return g_sessionActive == 0; }));
	PageConnection next(server.Port());
	next.Get("EIO=3&transport=polling");
	EXPECT_EQ(0u, next.Read().body.find("96:0{"));
	return seen;
}

} // namespace

TEST(SocketIoClient, ConnectsEchoesFiftyEventsOnceAndKoreanAndCloses)
{
	const int before = EchoSocket::messages;
	Json2 seen = RunClient("events");
	ASSERT_EQ(Json2::Object, seen.Type());
	EXPECT_EQ("true", seen["connected"].ToString(true));
	std::string expected = "{";
	for (int i = 0; i < 50; ++i)
		expected += std::string(i ? "," : "") + "\"" + std::to_string(i) + "\":1";
	// Members in byte order of their names, as our writer puts them.
	EXPECT_EQ(Json2::Parse(expected + "}").ToString(true), seen["replies"].ToString(true));
	EXPECT_EQ("한국어 인증서 — 서명용 ✓", seen["korean"].GetString());
	EXPECT_EQ(before + 51, EchoSocket::messages);
}

TEST(SocketIoClient, StaysConnectedThroughTenIdleSeconds)
{
	Json2 seen = RunClient("idle");
	ASSERT_EQ(Json2::Object, seen.Type());
	EXPECT_EQ("{\"after\":1}", seen["replies"].ToString(true));
	// Each idle poll ends with a "3", which the client takes as a pong.
	EXPECT_GE(seen["pongsWhileIdle"].GetInteger(), 5);
	EXPECT_LE(seen["pongsWhileIdle"].GetInteger(), 12);
}
