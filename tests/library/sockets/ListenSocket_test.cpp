#include "SocketTestSupport.h"

#include "base/Exception.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <memory>

namespace
{

// What an accepted socket looked like when the listener handed it over.
struct AcceptState
{
	int accepted = 0;
	bool sane = true;
};
AcceptState g_accepts;

class CheckedSocket : public TcpSocket
{
public:
	explicit CheckedSocket(ISocketHandler& handler)
		: TcpSocket(handler)
	{
	}

	void Init() override { m_initialised = true; }

	void OnAccept() override
	{
		++g_accepts.accepted;
		std::unique_ptr<SocketAddress> peer = GetRemoteAddress();
		g_accepts.sane = g_accepts.sane && m_initialised && IsConnected() && IsOwnedByHandler() && peer &&
			peer->ToText(false) == "127.0.0.1" && (::fcntl(GetSocket(), F_GETFL) & O_NONBLOCK);
	}

private:
	bool m_initialised = false;
};

// The loopback test server: echoes lines, takes "RAW <n>" followed by n raw
// bytes and answers with their count and sum, and says goodbye to "QUIT".
class TestServerSocket : public TcpSocket
{
public:
	explicit TestServerSocket(ISocketHandler& handler)
		: TcpSocket(handler)
	{
		SetLineMode(true);
	}

	void OnLine(const std::string& line) override
	{
		if (line.rfind("RAW ", 0) == 0)
		{
			m_rawLeft = std::stoul(line.substr(4));
			m_sum = 0;
			SetLineMode(false);
		}
		else if (line == "QUIT")
		{
			Send("BYE\r\n");
			SetCloseAndDelete(true);
		}
		else
		{
			Send("ECHO " + line + "\r\n");
		}
	}

	void OnRawData(const char* data, std::size_t n) override
	{
		const std::size_t mine = std::min(n, m_rawLeft);
		for (std::size_t i = 0; i < mine; ++i)
			m_sum += static_cast<unsigned char>(data[i]);
		m_rawLeft -= mine;
		if (m_rawLeft == 0)
		{
			Send("GOT " + std::to_string(m_sum) + "\r\n");
			SetLineMode(true);
			// Bytes past the raw block are lines again.
			if (mine < n)
				OnRead(const_cast<char*>(data + mine), n - mine);
		}
	}

private:
	std::size_t m_rawLeft = 0;
	unsigned long m_sum = 0;
};

template <class X>
std::unique_ptr<ListenSocket<X>> LoopbackListener(SocketHandler& handler)
{
	auto listener = std::make_unique<ListenSocket<X>>(handler);
	Ipv4Address loopback("127.0.0.1", 0);
	EXPECT_EQ(0, listener->Bind(loopback, 20));
	EXPECT_NE(0, listener->GetPort());
	handler.Add(listener.get());
	return listener;
}

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
	EXPECT_EQ(10, g_accepts.accepted);
	handler.Select(1, 0);
	EXPECT_EQ(12, g_accepts.accepted);
	EXPECT_TRUE(g_accepts.sane);
	EXPECT_EQ(13u, handler.GetSocketCount());
	EXPECT_TRUE(log.entries.empty());
	for (int c : clients)
		::close(c);
	for (int i = 0; i < 3; ++i)
		handler.Select(0, 100000);
	EXPECT_EQ(1u, handler.GetSocketCount());
}

TEST(ListenSocket, SixtyFourSocketLimit)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = LoopbackListener<TcpSocket>(handler);
	std::vector<std::unique_ptr<SocketPair>> pairs;
	for (int i = 0; i < 64; ++i)
	{
		pairs.push_back(std::make_unique<SocketPair>());
		auto* s = new RecordingSocket(handler);
		s->Attach(pairs.back()->fd[0]);
		s->SetOwnedByHandler(true);
		handler.Add(s);
	}
	// The 65th waits, counted, and the limit is reported each turn.
	handler.Select(0, 0);
	handler.Select(0, 0);
	EXPECT_EQ(65u, handler.GetSocketCount());
	ASSERT_EQ(2, log.Count("socket limit reached"));
	EXPECT_EQ(64, log.Find("socket limit reached")->code);
	EXPECT_EQ(-1, log.Find("socket limit reached")->fd);

	// A full handler accepts the connection only to close it.
	const int client = ConnectLoopback(listener->GetPort());
	handler.Select(1, 0);
	const LogEntry* full = log.Find("ISocketHandler socket limit reached");
	ASSERT_NE(nullptr, full);
	EXPECT_EQ(65, full->code);
	EXPECT_EQ(LOG_LEVEL_FATAL, full->level);
	char x;
	EXPECT_EQ(0, ::recv(client, &x, 1, MSG_DONTWAIT));
	::close(client);

	// Once a socket leaves, the waiting one is admitted.
	pairs.front()->ClosePeer();
	for (int i = 0; i < 3; ++i)
		handler.Select(0, 100000);
	EXPECT_EQ(64u, handler.GetSocketCount());
	EXPECT_EQ(64u, handler.GetSocketMap().size());
}

TEST(ListenSocket, PortInUseThrowsWithTheErrorText)
{
	RecordingLog log;
	SocketHandler handler(&log);
	auto first = LoopbackListener<TcpSocket>(handler);
	ListenSocket<TcpSocket> second(handler);
	Ipv4Address same("127.0.0.1", first->GetPort());
	try
	{
		second.Bind(same, 20);
		FAIL() << "bound a port in use";
	}
	catch (const Exception& e)
	{
		EXPECT_EQ("bind() failed for port " + std::to_string(first->GetPort()) + ": Address already in use.",
			e.Message());
	}
	EXPECT_EQ(INVALID_SOCKET, second.GetSocket());
	const LogEntry* bind = log.Find("Address already in use.");
	ASSERT_NE(nullptr, bind);
	EXPECT_EQ("bind", bind->call);
	EXPECT_EQ(WSAEADDRINUSE, bind->code);
}

TEST(ListenSocket, LoopbackTestServerAnswersAndClosesGracefully)
{
	SocketHandler handler(nullptr);
	auto listener = LoopbackListener<TestServerSocket>(handler);
	const int client = ConnectLoopback(listener->GetPort());
	ASSERT_GE(client, 0);
	std::string raw(70000, '\0');
	unsigned long sum = 0;
	for (std::size_t i = 0; i < raw.size(); ++i)
	{
		raw[i] = static_cast<char>(i % 253);
		sum += static_cast<unsigned char>(raw[i]);
	}
	const std::string request = "hello\r\nRAW " + std::to_string(raw.size()) + "\r\n" + raw + "again\nQUIT\r\n";
	std::string answer;
	std::size_t sent = 0;
	char buf[4096];
	for (int turns = 0; turns < 2000; ++turns)
	{
		if (sent < request.size())
		{
			// Small pieces, so that lines and raw bytes split across reads.
			const ssize_t n = ::send(client, request.data() + sent, std::min<std::size_t>(997, request.size() - sent), 0);
			sent += n > 0 ? static_cast<std::size_t>(n) : 0;
		}
		handler.Select(0, 10000);
		const ssize_t n = ::recv(client, buf, sizeof(buf), MSG_DONTWAIT);
		if (n == 0)
			break;
		if (n > 0)
			answer.append(buf, static_cast<std::size_t>(n));
	}
	EXPECT_EQ("ECHO hello\r\nGOT " + std::to_string(sum) + "\r\nECHO again\r\nBYE\r\n", answer);
	::close(client);
	handler.Select(0, 10000);
	EXPECT_EQ(1u, handler.GetSocketCount());
}
