#include "AgentTestSupport.h"
#include "library/sockets/TlsTestSupport.h"

#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

// The agent's connection with a first-head deadline of two seconds.
class ShortDeadlineSocket : public RecordingWebSocket
{
public:
	explicit ShortDeadlineSocket(ISocketHandler& handler)
		: RecordingWebSocket(handler)
	{
		SetFirstHeadSeconds(2);
	}
};

// The same over TLS, with the test certificate.
class ShortDeadlineTlsSocket : public ShortDeadlineSocket
{
public:
	using ShortDeadlineSocket::ShortDeadlineSocket;
	void Init() override { EnableSSL(true); }
	void InitSSLServer() override { InitializeContext("tests", TlsFixture("local.pem"), "61937", TLS_server_method()); }
};

template <typename Connection = ShortDeadlineSocket>
struct Server
{
	Server()
	{
		Ipv4Address loopback("127.0.0.1", 0);
		EXPECT_EQ(0, listener.Bind(loopback, 20));
		handler.Add(&listener);
	}

	// Turns the loop for about that long.
	void RunFor(std::chrono::milliseconds span)
	{
		const auto end = Clock::now() + span;
		while (Clock::now() < end)
			handler.Select(0, 50000);
	}

	RecordingLog log;
	SocketHandler handler{&log};
	ListenSocket<Connection> listener{handler};
};

// The peer has seen the connection end (end of file or reset).
bool Ended(int client)
{
	char byte;
	const ssize_t n = ::recv(client, &byte, 1, MSG_DONTWAIT);
	return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace

// A peer that connects and never finishes a request head is closed after
// the deadline; one that sent its head at once is never cut, however long
// it then stays quiet (a page waits between its requests).
TEST(FirstHeadTimeout, SilentAndUnfinishedHeadsAreClosedAFinishedOneStays)
{
	Server<> server;
	const int silent = ConnectLoopback(server.listener.GetPort());
	const int unfinished = ConnectLoopback(server.listener.GetPort());
	const int page = ConnectLoopback(server.listener.GetPort());
	ASSERT_TRUE(silent >= 0 && unfinished >= 0 && page >= 0);
	const std::string partial = "GET /tessark.io/?EIO=3&transport=polling HTTP/1.1\r\nHost: 127.0.0.1\r\n";
	const std::string whole = partial + "\r\n";
	ASSERT_EQ(static_cast<ssize_t>(partial.size()), ::send(unfinished, partial.data(), partial.size(), 0));
	ASSERT_EQ(static_cast<ssize_t>(whole.size()), ::send(page, whole.data(), whole.size(), 0));

	const auto start = Clock::now();
	server.RunFor(std::chrono::milliseconds(900));
	EXPECT_FALSE(Ended(silent)) << "closed before its deadline";
	EXPECT_FALSE(Ended(unfinished)) << "closed before its deadline";
	while ((!Ended(silent) || !Ended(unfinished)) && Clock::now() - start < std::chrono::seconds(15))
		server.RunFor(std::chrono::milliseconds(100));
	EXPECT_TRUE(Ended(silent));
	EXPECT_TRUE(Ended(unfinished));
	server.RunFor(std::chrono::seconds(1));
	EXPECT_FALSE(Ended(page));
	EXPECT_EQ(2u, server.handler.GetSocketCount()); // the listener and the page
	for (int c : {silent, unfinished, page})
		::close(c);
}

// Sixty-three silent connections and the listener hold every one of the
// handler's 64 places: a page that comes then is turned away. Once their
// deadline has passed, the page gets in.
TEST(FirstHeadTimeout, SilentConnectionsNoLongerHoldTheSocketLimit)
{
	Server<> server;
	std::vector<int> silent;
	for (int i = 0; i < 63; ++i)
	{
		silent.push_back(ConnectLoopback(server.listener.GetPort()));
		ASSERT_GE(silent.back(), 0);
		server.handler.Select(0, 0); // accepted before the backlog fills
	}
	server.RunFor(std::chrono::milliseconds(300));
	ASSERT_EQ(64u, server.handler.GetSocketCount());
	const int early = ConnectLoopback(server.listener.GetPort());
	server.RunFor(std::chrono::milliseconds(300));
	EXPECT_TRUE(Ended(early)) << "a connection past the limit was kept";

	const auto start = Clock::now();
	while (server.handler.GetSocketCount() > 1 && Clock::now() - start < std::chrono::seconds(15))
		server.RunFor(std::chrono::milliseconds(100));
	EXPECT_EQ(1u, server.handler.GetSocketCount());
	const int page = ConnectLoopback(server.listener.GetPort());
	const std::string head = "GET /tessark.io/?EIO=3&transport=polling HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
	ASSERT_EQ(static_cast<ssize_t>(head.size()), ::send(page, head.data(), head.size(), 0));
	server.RunFor(std::chrono::milliseconds(300));
	EXPECT_FALSE(Ended(page));
	EXPECT_EQ(2u, server.handler.GetSocketCount());
	for (int c : silent)
		::close(c);
	::close(early);
	::close(page);
}

// On a TLS port the deadline counts from the accept too: a peer that never
// starts its handshake (no time-out of the handshake's own runs yet) and one
// that stops inside it are both closed by then.
TEST(FirstHeadTimeout, TlsPeersThatNeverFinishTheirHandshakeAreClosed)
{
	Server<ShortDeadlineTlsSocket> server;
	const int silent = ConnectLoopback(server.listener.GetPort());
	const int partial = ConnectLoopback(server.listener.GetPort());
	ASSERT_TRUE(silent >= 0 && partial >= 0);
	const unsigned char helloStart[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00};
	ASSERT_EQ(static_cast<ssize_t>(sizeof helloStart), ::send(partial, helloStart, sizeof helloStart, 0));

	const auto start = Clock::now();
	server.RunFor(std::chrono::milliseconds(900));
	EXPECT_FALSE(Ended(silent)) << "closed before its deadline";
	while ((!Ended(silent) || !Ended(partial)) && Clock::now() - start < std::chrono::seconds(15))
		server.RunFor(std::chrono::milliseconds(100));
	EXPECT_TRUE(Ended(silent));
	EXPECT_TRUE(Ended(partial));
	EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << "not the handshake's own 30 seconds";
	for (int i = 0; i < 50 && server.handler.GetSocketCount() > 1; ++i)
		server.RunFor(std::chrono::milliseconds(100));
	EXPECT_EQ(1u, server.handler.GetSocketCount());
	::close(silent);
	::close(partial);
}

// A handshake that keeps moving, a byte at a time, still ends at the
// deadline: each step of it must not buy the peer more time.
TEST(FirstHeadTimeout, TricklingHandshakeEndsAtTheDeadline)
{
	Server<ShortDeadlineTlsSocket> server;
	const int client = ConnectLoopback(server.listener.GetPort());
	ASSERT_GE(client, 0);
	// A ClientHello record announcing 512 bytes, sent one byte per 200 ms.
	const unsigned char hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03};
	const auto start = Clock::now();
	std::size_t sent = 0;
	while (!Ended(client) && Clock::now() - start < std::chrono::seconds(8))
	{
		const unsigned char byte = sent < sizeof hello ? hello[sent] : 0x41;
		if (::send(client, &byte, 1, MSG_NOSIGNAL) == 1)
			++sent;
		server.RunFor(std::chrono::milliseconds(200));
	}
	EXPECT_TRUE(Ended(client)) << sent << " bytes taken in 8 s";
	EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
	::close(client);
}

