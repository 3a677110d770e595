// Timing races between the loop thread and the responder threads; run under
// the sanitizers, and repeated.
#include "PollingServer.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

const char kPoll[] = "EIO=3&transport=polling";

void ExpectAllPollsEnd(PollingServer& server) { EXPECT_TRUE(WaitUntil([&server] { return server.Polls() == 0; })); }

} // namespace

// Each poll's connection goes at the moment its reply is queued; the page
// keeps its session through it by polling again on a new connection, and is
// let go once it stops.
TEST(PollingRace, ConnectionsCloseWhileRespondersAnswer)
{
	PollingServer server;
	auto page = std::make_unique<PageConnection>(server.Port());
	const std::string sid = OpenAndConnect(*page);
	ASSERT_FALSE(sid.empty());
	const std::string query = std::string(kPoll) + "&sid=" + Encoded(sid);
	for (int i = 0; i < 40; ++i)
	{
		page = std::make_unique<PageConnection>(server.Port());
		page->Get(query);
		std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 10)));
		// The reply and the end of the connection arrive together.
		g_messageStore.Push(sid, "[\"x\"]");
		page.reset();
		ASSERT_EQ(1, g_sessionActive) << i;
	}
	const auto left = std::chrono::steady_clock::now();
	EXPECT_TRUE(WaitUntil([] { return g_sessionActive == 0; }, 5000));
	EXPECT_GE(ElapsedMs(left), 1500);
	ExpectAllPollsEnd(server);
}

TEST(PollingRace, ManySessionsOpenAndClose)
{
	PollingServer server;
	std::atomic<int> sessions{ 0 };
	std::atomic<int> broken{ 0 };
	std::vector<std::thread> pages;
	for (int t = 0; t < 6; ++t)
		pages.emplace_back([&] {
			for (int i = 0; i < 15; ++i)
			{
				PageConnection get(server.Port());
				const std::string sid = OpenAndConnect(get);
				if (sid.empty())
					continue;
				++sessions;
				const std::string query = std::string(kPoll) + "&sid=" + Encoded(sid);
				get.Get(query);
				PageConnection post(server.Port());
				post.Post(query, i % 2 ? "1:1" : "8:42[\"ev\"]");
				if (post.Read().body != "ok")
					++broken;
				const HttpResponse answer = get.Read();
				if (!answer.complete)
					++broken;
				if (i % 2 == 0)
				{
					post.Post(query, "1:1");
					post.Read();
				}
			}
		});
	for (std::thread& page : pages)
		page.join();
	EXPECT_GT(sessions, 0);
	EXPECT_EQ(0, broken);
	ExpectAllPollsEnd(server);
	EXPECT_TRUE(WaitUntil([] { return g_sessionActive == 0; }));
}

TEST(PollingRace, PostOrReplyAtTheMomentAResponderFinishes)
{
	ConnectedPage c;
	auto& [server, page, sid, query, poster] = c;
	ASSERT_FALSE(sid.empty());
	int replies = 0;
	for (int i = 0; i < 12; ++i)
	{
		page.Get(query);
		std::this_thread::sleep_for(std::chrono::milliseconds(860 + 8 * i));
		if (i % 2)
		{
			poster.Post(query, "1:2");
			EXPECT_EQ("ok", poster.Read().body);
		}
		else
		{
			g_messageStore.Push(sid, "[\"r\"]");
		}
		// The held GET is answered exactly once, and a reply is never lost:
		// it comes on this poll or the next.
		const HttpResponse answer = page.Read();
		ASSERT_TRUE(answer.complete) << i;
		if (answer.body == "7:42[\"r\"]")
			++replies;
		else
			EXPECT_EQ("1:3", answer.body) << i;
		EXPECT_TRUE(page.Silent(50)) << i;
		if (i % 2 == 0 && answer.body == "1:3")
		{
			page.Get(query);
			EXPECT_EQ("7:42[\"r\"]", page.Read().body) << i;
			++replies;
		}
	}
	EXPECT_EQ(6, replies);
}
