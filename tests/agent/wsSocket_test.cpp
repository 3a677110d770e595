#include "agent/wsSocket.h"

#include "agent/AgentState.h"
#include "agent/MessageStore.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

// Each test runs in its own process: the agent's flags start clear.

namespace
{

const char kDrives[] = "[\"zimracert_getExternalDrive\",{}]";

size_t QueuedTexts()
{
	size_t count = 0;
	for (const auto& queue : g_messageQueues)
		count += queue.second.size();
	return count;
}

} // namespace

TEST(wsSocket, PollingRepliesGoToTheConnectedPageOnly)
{
	SocketHandler handler;
	wsSocket connection(handler);
	connection.SetTransport(TransportPolling);

	// No page has connected yet: the reply has nowhere to go and is dropped.
	g_sessionActive = 1;
	connection.OnMessage(kDrives);
	EXPECT_EQ(0u, QueuedTexts());
	EXPECT_EQ(0u, g_messageQueues.count(""));

	// The page's session, also for a message that came on another connection,
	// and while another connection of the page has just gone.
	g_sessionId = "page-session";
	g_sessionActive = 0;
	connection.OnMessage(kDrives);
	connection.OnMessage("[\"zimracert_getVersion\",{}]");
	ASSERT_EQ(1u, g_messageStore.Count("page-session"));
	// (No store in this process: nothing found.)
	EXPECT_EQ("[\"zimracert\",{\"call_back\":\"zimracert_getExternalDrive\",\"data\":\"\"}]",
		g_messageStore.Take("page-session").texts.front());

	EXPECT_EQ(0, g_quitRequested);
	connection.OnMessage("[\"zimracert_TERMINATE\",{}]");
	EXPECT_EQ(1, g_quitRequested);
	// Nothing acts after it.
	connection.OnMessage(kDrives);
	EXPECT_EQ(0u, QueuedTexts());
}

TEST(wsSocket, ConnectingPageStopsTheWatchdogAndNamesTheSession)
{
	SocketHandler handler;
	wsSocket connection(handler);
	WatchdogRecord record;
	g_watchdog = &record;
	g_sessionId = "old";
	connection.OnSessionConnected();
	EXPECT_EQ("", g_sessionId); // this connection has no session id
	EXPECT_EQ(1, record.clientConnected);
	g_watchdog = nullptr;

	// TLS is turned on for accepted connections only when asked for.
	connection.Init();
	EXPECT_FALSE(connection.IsSSL());
	g_useTls = 1;
	wsSocket secure(handler);
	secure.Init();
	EXPECT_TRUE(secure.IsSSL());
}
