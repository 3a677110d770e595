#include "SocketTestSupport.h"

#include "sockets/Ipv4Address.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

TEST(TcpSocketConnect, RefusedAndImpossibleConnectsAreGivenUp)
{
	RecordingLog log;
	SocketHandler handler(&log);

	// Refused by the peer: reported when the descriptor becomes writable.
	ClientSocket refused(handler);
	Ipv4Address closed("127.0.0.1", ClosedPort());
	ASSERT_TRUE(refused.Open(closed));
	handler.Add(&refused);
	ASSERT_TRUE(TurnUntil(handler, [&] { return refused.connectFailures == 1; }, 10));
	EXPECT_EQ("tcp: connect failed " + std::to_string(WSAECONNREFUSED) + " FATAL", log.Line("Connection refused."));
	handler.Select(0, 0);
	EXPECT_FALSE(handler.HasSocket(&refused));
	EXPECT_EQ(INVALID_SOCKET, refused.GetSocket());

	// Refused by the system at once: no descriptor is left.
	ClientSocket unreachable(handler);
	Ipv4Address broadcast("127.255.255.255", 1);
	EXPECT_FALSE(unreachable.Open(broadcast));
	EXPECT_TRUE(unreachable.CloseAndDelete());
	EXPECT_EQ(INVALID_SOCKET, unreachable.GetSocket());
	EXPECT_EQ("connect: failed " + std::to_string(WSAENETUNREACH) + " FATAL", log.Line("Network is unreachable."));

	// With reconnect enabled the socket stays, connecting; its descriptor
	// has no peer, which the writable event finds out: no false OnConnect.
	ClientSocket pending(handler);
	pending.SetReconnectEnabled(true);
	ASSERT_TRUE(pending.Open(broadcast));
	EXPECT_EQ(2, log.Count("Network is unreachable."));
	handler.Add(&pending);
	ASSERT_TRUE(TurnUntil(handler, [&] { return pending.connectFailures == 1; }, 10));
	EXPECT_EQ(0, pending.connects);
	const auto reconnectLine = std::find_if(log.entries.begin(), log.entries.end(),
		[](const LogEntry& e) { return e.call == "connect: failed, reconnect pending"; });
	ASSERT_NE(log.entries.end(), reconnectLine);
	EXPECT_EQ(LOG_LEVEL_INFO, reconnectLine->level);
	EXPECT_EQ("tcp: connect failed " + std::to_string(WSAENOTCONN) + " FATAL", log.Line("Socket is not connected."));
	handler.Select(0, 0);
	EXPECT_FALSE(handler.HasSocket(&pending));

	// No address, and no room.
	ClientSocket invalid(handler);
	Ipv4Address unresolved("host.invalid", 80);
	EXPECT_FALSE(invalid.Open(unresolved));
	EXPECT_EQ(1, log.Count("Invalid SocketAddress"));
	EXPECT_FALSE(invalid.Open("host.invalid", 80));
	std::vector<std::unique_ptr<RecordingSocket>> filler;
	while (handler.GetSocketCount() < handler.GetSocketLimit())
	{
		filler.push_back(std::make_unique<RecordingSocket>(handler));
		handler.Add(filler.back().get());
	}
	ClientSocket noRoom(handler);
	EXPECT_FALSE(noRoom.Open(closed));
	EXPECT_EQ(1, log.Count("no space left for more sockets"));
	EXPECT_EQ(0, unreachable.connectFailures + invalid.connectFailures + noRoom.connectFailures);
}

TEST(TcpSocketConnect, TimesOutAndRetriesAsOftenAsAllowed)
{
	// A listener whose one-place backlog is full: the kernel drops further
	// connection requests, so connects to it never finish.
	RawListener full(0, 0);
	const int filler = ConnectLoopback(full.port);
	ASSERT_GE(filler, 0);

	RecordingLog log;
	SocketHandler handler(&log);
	Ipv4Address to("127.0.0.1", full.port);
	ClientSocket once(handler, 0, 1);
	ClientSocket twice(handler, 2, 1);
	ClientSocket refusesToRetry(handler, -1, 1);
	refusesToRetry.retry = false;
	for (ClientSocket* s : {&once, &twice, &refusesToRetry})
	{
		ASSERT_TRUE(s->Open(to));
		handler.Add(s);
	}
	ASSERT_TRUE(TurnUntil(handler, [&] { return twice.connectFailures == 1; }, 30));
	EXPECT_EQ(1, once.connectTimeouts);
	EXPECT_EQ(0, once.retryQuestions);
	EXPECT_EQ(1, once.connectFailures);
	EXPECT_EQ(3, twice.connectTimeouts);
	EXPECT_EQ(2, twice.retryQuestions);
	EXPECT_EQ(2, twice.GetConnectionRetries());
	EXPECT_EQ(1, refusesToRetry.retryQuestions);
	EXPECT_EQ(1, refusesToRetry.connectFailures);
	EXPECT_EQ(5, log.Count("connect timeout"));
	EXPECT_EQ("connect -1 FATAL", log.Line("connect timeout"));
	handler.Select(0, 0);
	EXPECT_EQ(0u, handler.GetSocketCount());
	::close(filler);
}

TEST(TcpSocketConnect, ReconnectsWhenTheServerComesBack)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto server = std::make_unique<RawListener>();
	const unsigned short port = server->port;
	ClientSocket client(handler, -1, 1);
	client.SetReconnectEnabled(true);
	ASSERT_TRUE(client.Open("127.0.0.1", port));
	handler.Add(&client);
	ASSERT_TRUE(TurnUntil(handler, [&] { return client.connects == 1; }, 10));
	int peer = server->TryAccept();
	ASSERT_GE(peer, 0);

	// The server goes away, and comes back two seconds later.
	server.reset();
	::close(peer);
	ASSERT_TRUE(TurnUntil(handler, [&] { return !client.disconnects.empty(); }, 10));
	TurnUntil(handler, [] { return false; }, 2);
	EXPECT_EQ(0, client.reconnects);
	server = std::make_unique<RawListener>(port);
	ASSERT_EQ(port, server->port);
	ASSERT_TRUE(TurnUntil(handler, [&] { return client.reconnects == 1; }, 20));
	EXPECT_EQ(1, client.connects);
	EXPECT_EQ(0, client.connectFailures);
	EXPECT_TRUE(handler.HasSocket(&client));
	client.Send("again");
	peer = server->TryAccept();
	ASSERT_GE(peer, 0);
	std::string got;
	ASSERT_TRUE(TurnUntil(handler, [&] { return (got += ReadAvailable(peer)) == "again"; }, 10));
	::close(peer);
}

// A connect flushes what was sent before it finished; the connection, parked
// in the pool on close, is reused for the same address, not opened again. One
// whose server has closed is not parked.
TEST(TcpSocketConnect, ConnectsTalksAndIsReusedFromThePool)
{
	RecordingLog log;
	SocketHandler handler(&log);
	handler.SetPoolEnabled(true);
	RawListener server;
	Ipv4Address to("127.0.0.1", server.port);

	auto* first = new ClientSocket(handler);
	int firstDeleted = 0;
	first->deleted = &firstDeleted;
	first->SetOwnedByHandler(true);
	ASSERT_TRUE(first->Open(to));
	EXPECT_TRUE(first->Connecting() || first->IsCallOnConnect());
	first->Send("early ");
	EXPECT_EQ(1, log.Count("Attempt to write to a non-connected socket, will be sent on connect"));
	handler.Add(first);
	ASSERT_TRUE(TurnUntil(handler, [&] { return first->connects == 1; }, 10));
	EXPECT_TRUE(first->IsConnected());
	EXPECT_TRUE(first->IsClient());
	const int peer = server.TryAccept();
	ASSERT_GE(peer, 0);
	first->Send("late");
	std::string got;
	ASSERT_TRUE(TurnUntil(handler, [&] { return (got += ReadAvailable(peer)) == "early late"; }, 10));
	::send(peer, "back", 4, 0);
	ASSERT_TRUE(TurnUntil(handler, [&] { return first->raw == "back"; }, 10));
	EXPECT_EQ(0, first->connectFailures);
	first->SetRetainForPool();
	first->SetCloseAndDelete(true);
	ASSERT_TRUE(TurnUntil(handler, [&] { return firstDeleted == 1; }, 10));
	handler.Select(0, 0);
	EXPECT_EQ(1u, handler.GetSocketCount()); // the parked connection
	EXPECT_EQ("", ReadAvailable(peer));      // neither closed nor shut down
	char x;
	EXPECT_EQ(-1, ::recv(peer, &x, 1, MSG_DONTWAIT));

	// Another address finds nothing; the same address takes it over.
	ClientSocket other(handler);
	ClientSocket second(handler);
	Ipv4Address elsewhere("127.0.0.1", ClosedPort());
	ASSERT_TRUE(other.Open(elsewhere));
	EXPECT_EQ(0, log.Count("Found pooled connection"));
	ASSERT_TRUE(second.Open(to));
	EXPECT_EQ(1, log.Count("Found pooled connection"));
	handler.Add(&second);
	ASSERT_TRUE(TurnUntil(handler, [&] { return second.connects == 1; }, 10));
	EXPECT_LT(server.TryAccept(), 0);
	second.Send("reused");
	got.clear();
	ASSERT_TRUE(TurnUntil(handler, [&] { return (got += ReadAvailable(peer)) == "reused"; }, 10));

	// Parked again; data from the peer on a parked connection ends it.
	second.SetRetainForPool();
	second.SetCloseAndDelete(true);
	ASSERT_TRUE(TurnUntil(handler, [&] { return !handler.HasSocket(&second); }, 10));
	handler.Select(0, 0);
	::send(peer, "?", 1, 0);
	ASSERT_TRUE(TurnUntil(handler, [&] { return handler.GetSocketCount() == 0; }, 10));
	EXPECT_EQ("OnRead 0 FATAL", log.Line("data on hibernating socket"));
	// Closed with the byte unread: the peer sees a reset.
	EXPECT_EQ(-1, ::recv(peer, &x, 1, 0));
	EXPECT_EQ(ECONNRESET, errno);
	::close(peer);

	// Still kept for the pool, but its server closes: it is closed, not
	// parked, so that neither the next turn nor an Open to the same address
	// meets a dead connection.
	ASSERT_TRUE(second.Open(to));
	handler.Add(&second);
	ASSERT_TRUE(TurnUntil(handler, [&] { return second.connects == 2; }, 10));
	const int closing = server.TryAccept();
	ASSERT_GE(closing, 0);
	::close(closing);
	ASSERT_TRUE(TurnUntil(handler, [&] { return !handler.HasSocket(&second); }, 10));
	EXPECT_EQ(0u, handler.GetSocketCount());
	ClientSocket third(handler);
	ASSERT_TRUE(third.Open(to));
	EXPECT_EQ(1, log.Count("Found pooled connection"));
	handler.Add(&third);
	ASSERT_TRUE(TurnUntil(handler, [&] { return third.connects == 1; }, 10));
	EXPECT_EQ(1, log.Count("data on hibernating socket"));
	::close(server.TryAccept());
}
