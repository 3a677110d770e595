#include "SocketTestSupport.h"

#include "base/Exception.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

namespace
{

// What the accepted sockets looked like when the listener handed them over.
int g_accepted = 0;
bool g_acceptedSane = true;

class CheckedSocket : public TcpSocket
{
public:
	using TcpSocket::TcpSocket;
	void Init() override { m_initialised = true; }
	void OnAccept() override
	{
		++g_accepted;
		std::unique_ptr<SocketAddress> peer = GetRemoteAddress();
		g_acceptedSane = g_acceptedSane && m_initialised && IsConnected() && IsOwnedByHandler() && peer &&
			peer->ToText(false) == "127.0.0.1" && (::fcntl(GetSocket(), F_GETFL) & O_NONBLOCK) && SendsAtOnce();
	}

private:
	// Small writes in a row do not wait for the peer's acknowledgements.
	bool SendsAtOnce()
	{
		int on = 0;
		socklen_t length = sizeof(on);
		return ::getsockopt(GetSocket(), IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on != 0;
	}

	bool m_initialised = false;
};

} // namespace

TEST(ListenSocket, AcceptsTenPerEventAndSetsUpEachSocket)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = LoopbackListener<CheckedSocket>(handler);
	std::vector<int> clients;
	for (int i = 0; i < 12; ++i)
		clients.push_back(ConnectLoopback(listener->GetPort()));
	handler.Select(1, 0);
	EXPECT_EQ(10, g_accepted);
	handler.Select(1, 0);
	EXPECT_EQ(12, g_accepted);
	EXPECT_TRUE(g_acceptedSane);
	EXPECT_EQ(13u, handler.GetSocketCount());
	EXPECT_TRUE(log.entries.empty());
	for (int c : clients)
		::close(c);
}

TEST(ListenSocket, SixtyFourSocketLimit)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = LoopbackListener<TcpSocket>(handler);
	std::vector<SocketPair> pairs(63);
	int deleted = 0;
	for (std::size_t i = 0; i + 1 < pairs.size(); ++i)
		handler.Add(Attached(handler, pairs[i].fd[0], &deleted));
	handler.Select(0, 0);
	ASSERT_EQ(63u, handler.GetSocketCount());

	// The 64th socket is a connection, and is taken.
	const int last = ConnectLoopback(listener->GetPort());
	handler.Select(1, 0);
	EXPECT_EQ(64u, handler.GetSocketCount());
	// One more is accepted only to be closed at once.
	const int refused = ConnectLoopback(listener->GetPort());
	handler.Select(1, 0);
	EXPECT_EQ(1, log.Count("ISocketHandler socket limit reached"));
	EXPECT_EQ("accept 64 FATAL", log.Line("ISocketHandler socket limit reached"));
	char x;
	EXPECT_EQ(0, ::recv(refused, &x, 1, MSG_DONTWAIT));
	EXPECT_EQ(-1, ::recv(last, &x, 1, MSG_DONTWAIT));
	EXPECT_EQ(EAGAIN, errno);
	::close(refused);

	// A socket added beyond the limit waits, counted, and the limit is
	// reported each turn.
	handler.Add(Attached(handler, pairs.back().fd[0], &deleted));
	handler.Select(0, 0);
	handler.Select(0, 0);
	EXPECT_EQ(65u, handler.GetSocketCount());
	ASSERT_EQ(2, log.Count("socket limit reached"));
	EXPECT_EQ(64, log.Find("socket limit reached")->code);
	EXPECT_EQ(-1, log.Find("socket limit reached")->fd);

	// Once a socket leaves, the waiting one is admitted.
	pairs.front().ClosePeer();
	const SOCKET waiting = pairs.back().fd[0];
	for (int i = 0; i < 10 && handler.GetSocketMap().count(waiting) == 0; ++i)
		handler.Select(0, 100000);
	EXPECT_EQ(1u, handler.GetSocketMap().count(waiting));
	EXPECT_EQ(64u, handler.GetSocketCount());
	EXPECT_EQ(64u, handler.GetSocketMap().size());
	::close(last);
}

TEST(ListenSocket, OutOfDescriptorsRestsTheListenerAndLogsOnce)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = LoopbackListener<CheckedSocket>(handler);
	handler.Select(0, 0);
	const int acceptedBefore = g_accepted;
	const int client = ConnectLoopback(listener->GetPort());
	ASSERT_GE(client, 0);

	// The sanitizers' type check needs descriptors of its own the first
	// time it meets a type: let it meet the log before they run out.
	handler.Log(nullptr, "", 0, "", LOG_LEVEL_INFO);
	log.entries.clear();

	// Every descriptor the process may have is taken: accept() fails and
	// the connection stays in the backlog.
	DescriptorsTaken taken(client);
	ASSERT_FALSE(taken.fillers.empty());
	for (int i = 0; i < 100; ++i)
		handler.Select(0, 0);
	// The listener is not watched while it rests: a turn waits.
	const auto start = std::chrono::steady_clock::now();
	handler.Select(0, 200000);
	const auto waited = std::chrono::steady_clock::now() - start;
	taken.Release();
	EXPECT_GE(waited, std::chrono::milliseconds(150));
	ASSERT_EQ(1u, log.entries.size());
	EXPECT_EQ("accept " + std::to_string(WSAEMFILE) + " ERROR", log.Line("Too many open files."));
	EXPECT_EQ(acceptedBefore, g_accepted);

	// A little later it is watched again and the connection is taken.
	for (int i = 0; i < 40 && g_accepted == acceptedBefore; ++i)
		handler.Select(0, 200000);
	EXPECT_EQ(acceptedBefore + 1, g_accepted);
	EXPECT_EQ(1u, log.entries.size());
	::close(client);
}

TEST(ListenSocket, MayOutliveItsHandler)
{
	// The handler's memory is scrubbed after its destruction: whatever
	// reaches it afterwards crashes.
	alignas(SocketHandler) unsigned char storage[sizeof(SocketHandler)];
	auto* handler = new (storage) SocketHandler();
	auto listener = LoopbackListener<TcpSocket>(*handler);
	handler->Select(0, 0);
	// One never added to the handler, and one that the handler closed and
	// let go of.
	auto lone = std::make_unique<ListenSocket<TcpSocket>>(*handler);
	Ipv4Address loopback("127.0.0.1", 0);
	ASSERT_EQ(0, lone->Bind(loopback, 20));
	auto closed = LoopbackListener<TcpSocket>(*handler);
	handler->Select(0, 0);
	closed->SetCloseAndDelete(true);
	handler->Select(0, 0);
	ASSERT_FALSE(handler->HasSocket(closed.get()));
	ASSERT_EQ(INVALID_SOCKET, closed->GetSocket());

	handler->~SocketHandler();
	std::memset(storage, 0, sizeof(storage));
	EXPECT_EQ(INVALID_SOCKET, listener->GetSocket());
	listener.reset();
	closed.reset();
	const SOCKET loneFd = lone->GetSocket();
	lone.reset();
	// Its descriptor was closed all the same.
	EXPECT_EQ(-1, ::fcntl(loneFd, F_GETFD));
}

TEST(ListenSocket, PortInUseThrowsWithTheErrorText)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto first = LoopbackListener<TcpSocket>(handler);
	ListenSocket<TcpSocket> second(handler);
	Ipv4Address same("127.0.0.1", first->GetPort());
	EXPECT_EQ("bind() failed for port " + std::to_string(first->GetPort()) + ": Address already in use.",
		ThrownMessage([&] { second.Bind(same, 20); }));
	EXPECT_EQ(INVALID_SOCKET, second.GetSocket());
	EXPECT_EQ("bind " + std::to_string(WSAEADDRINUSE) + " FATAL", log.Line("Address already in use."));
}
