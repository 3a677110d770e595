#include "AgentTestSupport.h"
#include "library/sockets/TlsTestSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The agent's connection with a first-head deadline of two seconds.
class ShortDeadlineSocket : public RecordingWebSocket
{
public:
	explicit ShortDeadlineSocket(ISocketHandler& handler) : RecordingWebSocket(handler) { SetRequestSeconds(2); }
};

// The same over TLS, with the test certificate.
class ShortDeadlineTlsSocket : public ShortDeadlineSocket
{
public:
	using ShortDeadlineSocket::ShortDeadlineSocket;
	void Init() override { EnableSSL(true); }
	void InitSSLServer() override { InitializeContext("tests", TlsFixture("local.pem"), "61937", TLS_server_method()); }
};

// The peer has seen the connection end (end of file or reset).
bool Ended(int client)
{
	char byte;
	const ssize_t n = ::recv(client, &byte, 1, MSG_DONTWAIT);
	return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A silent peer and one that stops after the bytes are closed after the
// deadline, not before it and not as late as the handshake's own 30 s.
template <typename Connection>
void ExpectSilentAndUnfinishedClosed(LoopbackServer<Connection>& server, const std::string& bytes)
{
	const int silent = ConnectLoopback(server.Port());
	const int unfinished = ConnectLoopback(server.Port());
	ASSERT_TRUE(silent >= 0 && unfinished >= 0);
	ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(unfinished, bytes.data(), bytes.size(), 0));
	const auto start = Clock::now();
	server.RunFor(milliseconds(900));
	EXPECT_FALSE(Ended(silent)) << "closed before its deadline";
	EXPECT_FALSE(Ended(unfinished)) << "closed before its deadline";
	while ((!Ended(silent) || !Ended(unfinished)) && Clock::now() - start < std::chrono::seconds(15))
		server.RunFor(milliseconds(100));
	EXPECT_TRUE(Ended(silent));
	EXPECT_TRUE(Ended(unfinished));
	EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
	::close(silent);
	::close(unfinished);
}

const std::string kHead = "GET /tessark.io/?EIO=3&transport=polling HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

} // namespace

// The deadline closes a silent peer, one that never finishes its head, one
// that goes quiet after a request that got no answer, and one that trickles
// its next request; a peer that keeps sending requests stays.
TEST(FirstHeadTimeout, QuietUnfinishedIdleAndTricklingPeersAreClosedABusyOneStays)
{
	LoopbackServer<ShortDeadlineSocket> server;
	enum { Silent, Unfinished, Idle, Trickling, Busy, Peers };
	int peers[Peers];
	Clock::duration ended[Peers] = {};
	for (int& peer : peers)
		ASSERT_GE(peer = ConnectLoopback(server.Port()), 0);
	const std::string half = kHead.substr(0, kHead.size() - 2);
	::send(peers[Unfinished], half.data(), half.size(), 0);
	for (int peer : { peers[Idle], peers[Trickling] })
		::send(peer, kHead.data(), kHead.size(), 0);
	const auto start = Clock::now();
	for (int step = 0; Clock::now() - start < std::chrono::seconds(6); ++step)
	{
		if (step % 5 == 0)
			::send(peers[Busy], kHead.data(), kHead.size(), MSG_NOSIGNAL);
		if (step % 3 == 0)
			::send(peers[Trickling], &kHead[step / 3 % kHead.size()], 1, MSG_NOSIGNAL);
		server.RunFor(milliseconds(100));
		for (int i = 0; i < Peers; ++i)
			if (ended[i] == Clock::duration() && Ended(peers[i]))
				ended[i] = Clock::now() - start;
	}
	for (int i : { Silent, Unfinished, Idle, Trickling })
	{
		EXPECT_GT(ended[i], milliseconds(1500)) << i << " closed before its deadline";
		EXPECT_LT(ended[i], milliseconds(4500)) << i << " not closed at its deadline";
	}
	EXPECT_EQ(Clock::duration(), ended[Busy]);
	EXPECT_EQ(2u, server.handler.GetSocketCount()); // the listener and the busy peer
	for (int peer : peers)
		::close(peer);
}

// Sixty-three silent connections and the listener hold all 64 places of the
// handler: a page is turned away until their deadline has passed.
TEST(FirstHeadTimeout, SilentConnectionsNoLongerHoldTheSocketLimit)
{
	LoopbackServer<ShortDeadlineSocket> server;
	std::vector<int> silent;
	for (int i = 0; i < 63; ++i)
	{
		silent.push_back(ConnectLoopback(server.Port()));
		ASSERT_GE(silent.back(), 0);
		server.handler.Select(0, 0); // accepted before the backlog fills
	}
	server.RunFor(milliseconds(300));
	ASSERT_EQ(64u, server.handler.GetSocketCount());
	const int early = ConnectLoopback(server.Port());
	server.RunFor(milliseconds(300));
	EXPECT_TRUE(Ended(early)) << "a connection past the limit was kept";

	const auto start = Clock::now();
	while (server.handler.GetSocketCount() > 1 && Clock::now() - start < std::chrono::seconds(15))
		server.RunFor(milliseconds(100));
	EXPECT_EQ(1u, server.handler.GetSocketCount());
	const int page = ConnectLoopback(server.Port());
	ASSERT_EQ(static_cast<ssize_t>(kHead.size()), ::send(page, kHead.data(), kHead.size(), 0));
	server.RunFor(milliseconds(300));
	EXPECT_FALSE(Ended(page));
	EXPECT_EQ(2u, server.handler.GetSocketCount());
	silent.push_back(early);
	silent.push_back(page);
	for (int c : silent)
		::close(c);
}

// On a TLS port the deadline counts from the accept too: a peer that never
// starts its handshake and one that stops inside it are both closed by then.
TEST(FirstHeadTimeout, TlsPeersThatNeverFinishTheirHandshakeAreClosed)
{
	LoopbackServer<ShortDeadlineTlsSocket> server;
	ExpectSilentAndUnfinishedClosed(server, std::string("\x16\x03\x01\x02\x00\x01\x00", 7));
	for (int i = 0; i < 50 && server.handler.GetSocketCount() > 1; ++i)
		server.RunFor(milliseconds(100));
	EXPECT_EQ(1u, server.handler.GetSocketCount());
}

// A handshake that keeps moving, a byte at a time, still ends at the
// deadline: each step of it must not buy the peer more time.
TEST(FirstHeadTimeout, TricklingHandshakeEndsAtTheDeadline)
{
	LoopbackServer<ShortDeadlineTlsSocket> server;
	const int client = ConnectLoopback(server.Port());
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
		server.RunFor(milliseconds(200));
	}
	EXPECT_TRUE(Ended(client)) << sent << " bytes taken in 8 s";
	EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
	::close(client);
}

// A handshake step in the last second before the deadline does not switch
// the deadline off: a peer that sends one byte then and stays quiet is
// closed at once, not left open for good.
TEST(FirstHeadTimeout, AHandshakeStepInTheLastSecondStillEndsAtTheDeadline)
{
	LoopbackServer<ShortDeadlineTlsSocket> server;
	// Connected a little after a whole second of the clock the handler's
	// deadlines count in (whole seconds of the calendar clock, which may
	// lag a few milliseconds behind), so that its own first check comes
	// late in the third second.
	const auto intoSecond = [] {
		return std::chrono::duration_cast<milliseconds>(
			std::chrono::system_clock::now().time_since_epoch() % std::chrono::seconds(1));
	};
	while (intoSecond() < milliseconds(50) || intoSecond() > milliseconds(150))
		std::this_thread::sleep_for(milliseconds(5));
	const int client = ConnectLoopback(server.Port());
	ASSERT_GE(client, 0);
	server.RunFor(milliseconds(2400));
	ASSERT_FALSE(Ended(client)) << "closed before its deadline";
	const unsigned char first = 0x16;
	ASSERT_EQ(1, ::send(client, &first, 1, MSG_NOSIGNAL));
	server.RunFor(milliseconds(300));
	EXPECT_TRUE(Ended(client));
	::close(client);
}
