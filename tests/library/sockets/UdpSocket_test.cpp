#include "SocketTestSupport.h"

#include "base/NetUtil.h"
#include "sockets/Ipv4Address.h"
#include "sockets/SocketHandler.h"
#include "sockets/UdpSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace
{

class RecordingUdp : public UdpSocket
{
public:
	explicit RecordingUdp(ISocketHandler& handler, int extraReads = 0)
		: UdpSocket(handler, 16384, extraReads)
	{
	}
	void OnDatagram(const char* data, int length, sockaddr* from, int fromLength) override
	{
		datagrams.emplace_back(data, static_cast<std::size_t>(length));
		if (fromLength == static_cast<int>(sizeof(sockaddr_in)))
			fromPort = ntohs(reinterpret_cast<sockaddr_in*>(from)->sin_port);
	}
	std::vector<std::string> datagrams;
	unsigned short fromPort = 0;
};

int BoundUdp(unsigned short port)
{
	return LoopbackDescriptor(SOCK_DGRAM, port, true);
}

void SendDatagram(int from, unsigned short to, const std::string& bytes)
{
	const sockaddr_in a = LoopbackAddress(to);
	::sendto(from, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
}

std::string ReceiveDatagram(int s)
{
	char buf[64];
	const ssize_t n = ::recv(s, buf, sizeof(buf), 0);
	return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

TEST(UdpSocket, BindsReceivesAndSendsDatagrams)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto* udp = new RecordingUdp(handler, 1);
	std::uint16_t port = 0;
	ASSERT_EQ(0, udp->Bind("127.0.0.1", port, 1));
	ASSERT_NE(0, port);
	EXPECT_EQ(port, udp->GetPort());
	udp->SetOwnedByHandler(true);
	handler.Add(udp);

	// Two datagrams a read at most (one extra read); an empty one ends the
	// read without an event.
	const int peer = BoundUdp(0);
	for (const char* text : {"one", "two", "three"})
		SendDatagram(peer, port, text);
	handler.Select(1, 0);
	EXPECT_EQ((std::vector<std::string>{"one", "two"}), udp->datagrams);
	EXPECT_EQ(LocalPort(peer), udp->fromPort);
	SendDatagram(peer, port, "");
	SendDatagram(peer, port, "four");
	handler.Select(1, 0);
	handler.Select(1, 0);
	EXPECT_EQ((std::vector<std::string>{"one", "two", "three", "four"}), udp->datagrams);

	// Replies by address and by host text; a host that does not resolve
	// sends nothing.
	Ipv4Address to("127.0.0.1", LocalPort(peer));
	udp->SendToBuf(to, "abc", 3);
	udp->SendTo("host.invalid", LocalPort(peer), "lost");
	udp->SendTo("127.0.0.1", LocalPort(peer), "def");
	EXPECT_EQ("abc", ReceiveDatagram(peer));
	EXPECT_EQ("def", ReceiveDatagram(peer));

	// Never connected: nothing is sent.
	udp->Send("x");
	EXPECT_EQ("SendBuf 0 ERROR", log.Line("not connected"));
	EXPECT_EQ(1u, log.entries.size());

	// Without a descriptor, one is made to send from, left unbound.
	UdpSocket unbound(handler);
	unbound.SendToBuf(to, "hi", 2);
	EXPECT_NE(INVALID_SOCKET, unbound.GetSocket());
	EXPECT_FALSE(unbound.IsBound());
	EXPECT_EQ(0, unbound.GetPort());
	EXPECT_EQ("hi", ReceiveDatagram(peer));
	::close(peer);
}

TEST(UdpSocket, BindTriesTheRangeAndReportsTheLastPort)
{
	// Three free ports in a row, the first two taken.
	int taken[2] = {-1, -1};
	unsigned short first = 0;
	for (int attempt = 0; attempt < 50 && first == 0; ++attempt)
	{
		taken[0] = BoundUdp(0);
		const unsigned short p = LocalPort(taken[0]);
		taken[1] = p < 65000 ? BoundUdp(static_cast<unsigned short>(p + 1)) : -1;
		const int third = taken[1] >= 0 ? BoundUdp(static_cast<unsigned short>(p + 2)) : -1;
		first = third >= 0 ? p : 0;
		for (int s : {third, first == 0 ? taken[0] : -1, first == 0 ? taken[1] : -1})
			if (s >= 0)
				::close(s);
	}
	ASSERT_NE(0, first);

	RecordingLog log;
	SocketHandler handler(&log);
	UdpSocket udp(handler);
	std::uint16_t port = first;
	ASSERT_EQ(0, udp.Bind("127.0.0.1", port, 2));
	EXPECT_EQ(first + 2, port);
	EXPECT_EQ(first + 2, udp.GetPort());

	UdpSocket refused(handler);
	std::uint16_t again = first;
	EXPECT_EQ("bind() failed for UdpSocket, port:range: " + NetUtil::LongToString(first + 2) + ":2",
		ThrownMessage([&] { refused.Bind("127.0.0.1", again, 2); }));
	EXPECT_TRUE(refused.CloseAndDelete());
	ASSERT_EQ(1u, log.entries.size());
	EXPECT_EQ("bind " + std::to_string(WSAEADDRINUSE) + " FATAL", log.Line("Address already in use."));

	// A host that does not resolve: no descriptor, no log, close requested.
	UdpSocket unresolved(handler);
	std::uint16_t any = 0;
	EXPECT_EQ(-1, unresolved.Bind("host.invalid", any, 1));
	EXPECT_TRUE(unresolved.CloseAndDelete());
	EXPECT_EQ(1u, log.entries.size());
	::close(taken[0]);
	::close(taken[1]);
}

TEST(WakeupSocket, WakesABlockedSelectAtOnceAndOnlyWhileItLives)
{
	RecordingLog log;
	SocketHandler handler(&log);
	handler.Wakeup(); // none yet: nothing happens
	handler.CreateWakeupSocket();
	handler.CreateWakeupSocket();
	EXPECT_EQ(1u, handler.GetSocketCount());
	EXPECT_EQ(0, handler.Select(0, 0));

	// Woken from another thread, a select with a 30-second time-out returns
	// at once; so does one without a time-out. The byte is read and dropped.
	for (bool withTimeout : {true, false})
	{
		std::thread waker([&] {
			std::this_thread::sleep_for(std::chrono::milliseconds(100));
			handler.Wakeup();
		});
		const auto start = std::chrono::steady_clock::now();
		const int n = withTimeout ? handler.Select(30, 0) : handler.Select();
		const auto elapsed = std::chrono::steady_clock::now() - start;
		waker.join();
		EXPECT_EQ(1, n);
		EXPECT_LT(elapsed, std::chrono::seconds(5));
		EXPECT_EQ(0, handler.Select(0, 0));
	}
	EXPECT_EQ(1u, handler.GetSocketCount());

	// Once it is gone, a wake-up reaches nothing; a new one can be made.
	handler.GetSocketMap().begin()->second->SetCloseAndDelete(true);
	handler.Select(0, 0);
	EXPECT_EQ(0u, handler.GetSocketCount());
	handler.Wakeup();
	EXPECT_TRUE(log.entries.empty());
	handler.CreateWakeupSocket();
	EXPECT_EQ(1u, handler.GetSocketCount());
}
