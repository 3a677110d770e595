// The rule of which page holds the agent, driven by its own clock.
#include "agent/AgentState.h"
#include "agent/MessageStore.h"
#include "agent/PageSession.h"

#include <gtest/gtest.h>

#include <chrono>

namespace
{

using namespace std::chrono_literals;
using PageSession::Clock;

const Clock::time_point t0 = Clock::now();

// A polling page "s" connected at t0 on connection 1.
void ConnectPage()
{
	PageSession::Opened("s");
	ASSERT_TRUE(PageSession::ConnectPolling("s", 1, t0));
}

// The moment the page is first let go, probed in steps of 100 ms from the
// start; -1 when it is still there at the end.
Clock::duration LetGoAt(Clock::duration from, Clock::duration to)
{
	for (Clock::duration at = from; at <= to; at += 100ms)
		if (PageSession::Gone(t0 + at))
			return at;
	return -1s;
}

} // namespace

// Each test runs in its own process: no page yet.
TEST(PageSession, OnePageAtATimeAndNothingLeftBehindItsEnd)
{
	EXPECT_FALSE(PageSession::Connected());
	EXPECT_FALSE(PageSession::ConnectPolling("never-opened", 1, t0));
	ConnectPage();
	EXPECT_EQ(1, g_sessionActive);
	EXPECT_TRUE(PageSession::IsPollingPage("s"));
	EXPECT_EQ("s", PageSession::PollingPage());
	EXPECT_FALSE(PageSession::IsOpened("s"));
	PageSession::Opened("t");
	EXPECT_FALSE(PageSession::ConnectPolling("t", 2, t0));
	EXPECT_FALSE(PageSession::ConnectWebSocket(3));
	EXPECT_TRUE(PageSession::IsPageConnection(1));
	EXPECT_FALSE(PageSession::IsPageConnection(2));

	// An export's reply carries the key: it must not outlive the session.
	g_sessionId = "s";
	g_messageStore.Push("s", "[\"zimracert\",{\"data\":{\"CONVERT\":\"key\"}}]");
	PageSession::End();
	EXPECT_EQ(0u, g_messageStore.Count("s"));
	EXPECT_EQ(0u, g_messageQueues.size());
	EXPECT_EQ(0, g_sessionActive);
	EXPECT_TRUE(g_sessionId.empty());
	EXPECT_EQ(0u, g_sessionStates.count("s"));
	EXPECT_EQ("", PageSession::PollingPage());

	// The page opened meanwhile may come in now; a WebSocket page is let go
	// by its own connection's end only.
	EXPECT_TRUE(PageSession::ConnectPolling("t", 2, t0));
	PageSession::End();
	EXPECT_TRUE(PageSession::ConnectWebSocket(3));
	PageSession::ConnectionClosed(4, true, t0);
	EXPECT_FALSE(PageSession::Gone(t0 + 1h));
	EXPECT_TRUE(PageSession::Connected());
	PageSession::ConnectionClosed(3, false, t0);
	EXPECT_FALSE(PageSession::Connected());
}

// When the grace starts, what cancels it, and the silence on its own.
TEST(PageSession, GraceAndSilence)
{
	struct Case
	{
		const char* what;
		void (*steps)();
		Clock::duration letGo;
	};
	const Case cases[] = {
		{ "silent, no connection closed", [] {}, 61s },
		{ "silent after a request at 10 s", [] { PageSession::Request(1, t0 + 10s); }, 71s },
		// A pooled keep-alive connection of the page stays open and idle.
		{ "the connection holding the poll closes, another stays",
			[] {
				PageSession::Request(2, t0);
				PageSession::ConnectionClosed(1, true, t0 + 1s);
			},
			3s },
		{ "a connection without a poll closes, another stays",
			[] {
				PageSession::Request(2, t0);
				PageSession::ConnectionClosed(1, false, t0 + 1s);
			},
			61s },
		{ "the last connection closes", [] { PageSession::ConnectionClosed(1, false, t0 + 1s); }, 3s },
		{ "back 0.5 s after its connection dropped",
			[] {
				PageSession::ConnectionClosed(1, false, t0 + 1s);
				PageSession::Request(3, t0 + 1500ms);
			},
			62500ms },
		{ "a connection that was never the page's closes", [] { PageSession::ConnectionClosed(9, true, t0); }, 61s },
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(c.what);
		ConnectPage();
		c.steps();
		EXPECT_EQ(c.letGo, LetGoAt(0s, 200s));
		PageSession::End();
	}
}

// Time the agent spends on the page's own records does not count against
// it: neither the silence nor the grace ends the session meanwhile, and
// both count from the end of the work.
TEST(PageSession, WorkForThePageStopsItsClocks)
{
	ConnectPage();
	PageSession::Working(true, t0 + 1s);
	EXPECT_EQ(-1s, LetGoAt(0s, 100s));
	PageSession::Working(false, t0 + 100s);
	EXPECT_EQ(161s, LetGoAt(100s, 200s));
	PageSession::End();

	ConnectPage();
	PageSession::Working(true, t0);
	PageSession::ConnectionClosed(1, true, t0 + 10s);
	EXPECT_EQ(-1s, LetGoAt(0s, 100s));
	PageSession::Working(false, t0 + 100s);
	EXPECT_EQ(102s, LetGoAt(100s, 200s));
	PageSession::End();
}
