#include "ClientTestSupport.h"
#include "DantedProxy.h"

#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{

// Line echo: the destination behind the proxy.
class Echo : public TcpSocket
{
public:
	explicit Echo(ISocketHandler& handler)
		: TcpSocket(handler)
	{
		SetLineMode(true);
	}
	void OnLine(const std::string& line) override { Send(line + "\n"); }
};

// A line client that notes how many log lines stood when it connected.
class Socks4Client : public ClientSocket
{
public:
	Socks4Client(ISocketHandler& handler, RecordingLog& log)
		: ClientSocket(handler)
		, m_log(log)
	{
		SetLineMode(true);
	}
	void OnConnect() override
	{
		++connects;
		logLinesAtConnect = m_log.entries.size();
	}
	std::size_t logLinesAtConnect = 0;

private:
	RecordingLog& m_log;
};

void UseProxy(SocketHandler& handler, unsigned short port, const std::string& userid = "")
{
	ASSERT_TRUE(handler.SetSocks4Host("127.0.0.1"));
	handler.SetSocks4Port(port);
	handler.SetSocks4Userid(userid);
}

std::string ReadExactly(int fd, std::size_t n)
{
	std::string bytes;
	char buf[1024];
	while (bytes.size() < n)
	{
		const ssize_t r = ::recv(fd, buf, std::min(sizeof(buf), n - bytes.size()), 0);
		if (r <= 0)
			break;
		bytes.append(buf, static_cast<std::size_t>(r));
	}
	return bytes;
}

} // namespace

TEST(Socks4, RequestBytesAndAReplyInPiecesFollowedByData)
{
	RecordingLog log;
	SocketHandler handler(&log);
	RawListener proxy;
	UseProxy(handler, proxy.port, "abc");
	Socks4Client client(handler, log);
	Ipv4Address to("10.0.0.1", 80); // never reached: the proxy is the test
	ASSERT_TRUE(client.Open(to));
	EXPECT_EQ(1, log.Count("Connecting to socks4 server @ 127.0.0.1:" + std::to_string(proxy.port)));
	handler.Add(&client);
	int server = -1;
	ASSERT_TRUE(TurnUntil(handler, [&] { return (server = proxy.TryAccept()) >= 0; }, 10));
	ASSERT_TRUE(TurnUntil(handler, [&] { return client.GetBytesSent() == 12; }, 10));
	EXPECT_EQ(std::string("\x04\x01\x00\x50\x0a\x00\x00\x01" "abc", 11) + '\0', ReadExactly(server, 12));

	// The reply in pieces of 1, 1, 1 and 5 bytes, the last one followed in
	// the same write by the server's first line.
	for (const std::string& piece : {std::string(1, '\0'), std::string("Z"), std::string(1, '\0')})
	{
		::send(server, piece.data(), piece.size(), 0);
		TurnUntil(handler, [] { return false; }, 0.2);
		EXPECT_TRUE(client.IsSocks4());
	}
	const std::string last = std::string("\x50\x0a\x00\x00\x01", 5) + "hello\r\n";
	::send(server, last.data(), last.size(), 0);
	ASSERT_TRUE(TurnUntil(handler, [&] { return !client.lines.empty(); }, 10));
	EXPECT_EQ((std::vector<std::string>{"hello"}), client.lines);
	EXPECT_EQ(1, client.connects);
	EXPECT_FALSE(client.IsSocks4());
	const LogEntry* established = log.Find("Connection established");
	ASSERT_NE(nullptr, established);
	EXPECT_EQ("OnSocks4Read", established->call);
	EXPECT_EQ(established, &log.entries[client.logLinesAtConnect]); // logged after OnConnect
	::send(server, "more\n", 5, 0);
	ASSERT_TRUE(TurnUntil(handler, [&] { return client.lines.size() == 2; }, 10));
	EXPECT_EQ("more", client.lines[1]);
	::close(server);
}

TEST(Socks4, RefusalsAndUnknownAnswersOfTheServer)
{
	RecordingLog log;
	SocketHandler handler(&log);
	RawListener proxy;
	UseProxy(handler, proxy.port);
	Ipv4Address to("10.0.0.1", 80);
	Socks4Client refused(handler, log), unknown(handler, log);
	for (Socks4Client* client : {&refused, &unknown})
	{
		ASSERT_TRUE(client->Open(to));
		handler.Add(client);
	}
	int servers[2] = {-1, -1};
	for (int& server : servers)
		ASSERT_TRUE(TurnUntil(handler, [&] { return (server = proxy.TryAccept()) >= 0; }, 10));
	// An empty user id: nine bytes, the last the terminator.
	ASSERT_TRUE(TurnUntil(handler, [&] { return refused.GetBytesSent() == 9 && unknown.GetBytesSent() == 9; }, 10));
	for (int server : servers)
		EXPECT_EQ(9u, ReadExactly(server, 9).size());
	// Which accepted connection is whose does not matter: both get both
	// answers in turn, and the first answer decides.
	::send(servers[0], "\x00\x5c\0\0\0\0\0\0", 8, 0);
	ASSERT_TRUE(TurnUntil(handler, [&] { return log.Count("socks4 server reports connect failed") == 1; }, 10));
	::send(servers[1], "\x00\x5f\0\0\0\0\0\0", 8, 0);
	ASSERT_TRUE(TurnUntil(handler, [&] { return log.Count("socks4 server unrecognized response") == 1; }, 10));
	EXPECT_EQ(92, log.Find("socks4 server reports connect failed")->code);
	EXPECT_EQ(95, log.Find("socks4 server unrecognized response")->code);
	EXPECT_EQ(LOG_LEVEL_FATAL, log.Find("socks4 server unrecognized response")->level);
	// Refused: the owner hears of it; an unknown answer only closes.
	EXPECT_EQ(1, refused.connectFailures + unknown.connectFailures);
	EXPECT_TRUE(refused.CloseAndDelete() && unknown.CloseAndDelete());
	EXPECT_EQ(0, refused.connects + unknown.connects);
	EXPECT_TRUE(refused.lines.empty() && unknown.lines.empty());
	for (int server : servers)
		::close(server);
}

TEST(Socks4, AnUnreachableServerIsPassedByOnlyWithTryDirect)
{
	RecordingLog log;
	SocketHandler handler(&log);
	ListenSocket<Echo> destination(handler);
	ASSERT_EQ(0, destination.Bind(0, 20));
	handler.Add(&destination);
	Ipv4Address to("127.0.0.1", destination.GetPort());
	const std::string warning = "connection to socks4 server failed, trying direct connection";

	// Refused later (loopback port without listener), then at once
	// (an address the system will not connect to).
	UseProxy(handler, DantedProxy::FreePort());
	Socks4Client givesUp(handler, log);
	ASSERT_TRUE(givesUp.Open(to));
	handler.Add(&givesUp);
	ASSERT_TRUE(TurnUntil(handler, [&] { return givesUp.connectFailures == 1; }, 10));
	EXPECT_EQ(1, log.Count(warning));
	handler.SetSocks4Host(static_cast<std::uint32_t>(inet_addr("127.255.255.255")));
	// A host text that does not resolve changes nothing.
	EXPECT_FALSE(handler.SetSocks4Host("host.invalid"));
	EXPECT_EQ(inet_addr("127.255.255.255"), handler.GetSocks4Host());
	Socks4Client givesUpAtOnce(handler, log);
	EXPECT_FALSE(givesUpAtOnce.Open(to));
	EXPECT_EQ(1, log.Count("Network is unreachable."));

	handler.SetSocks4TryDirect(true);
	Socks4Client direct(handler, log), directAtOnce(handler, log);
	ASSERT_TRUE(directAtOnce.Open(to));
	EXPECT_FALSE(directAtOnce.IsSocks4());
	UseProxy(handler, DantedProxy::FreePort());
	Socks4Client directLater(handler, log);
	ASSERT_TRUE(directLater.Open(to));
	EXPECT_TRUE(directLater.IsSocks4());
	for (Socks4Client* client : {&directAtOnce, &directLater})
	{
		handler.Add(client);
		client->Send("via " + std::to_string(client->Uid()) + "\n");
		ASSERT_TRUE(TurnUntil(handler, [&] { return client->lines.size() == 1; }, 10));
		EXPECT_EQ("via " + std::to_string(client->Uid()), client->lines[0]);
		EXPECT_EQ(1, client->connects);
		EXPECT_EQ(0, client->connectFailures);
	}
	EXPECT_EQ(2, log.Count(warning));
	const auto remote = directLater.GetRemoteAddress();
	EXPECT_EQ(destination.GetPort(), remote->GetPort());
}

TEST(Socks4, ThroughDanted)
{
	RecordingLog log;
	SocketHandler handler(&log);
	ListenSocket<Echo> destination(handler);
	ASSERT_EQ(0, destination.Bind(0, 20));
	handler.Add(&destination);
	RawListener blocked;
	DantedProxy danted(blocked.port);
	ASSERT_TRUE(danted.running) << danted.LogText();

	// Granted, with user ids of none and of the longest length there is
	// room for; one byte longer is refused before anything is sent.
	for (std::size_t idLength : {0, 991, 992})
	{
		UseProxy(handler, danted.port, std::string(idLength, 'u'));
		Socks4Client client(handler, log);
		Ipv4Address to("127.0.0.1", destination.GetPort());
		ASSERT_TRUE(client.Open(to));
		handler.Add(&client);
		client.Send("through " + std::to_string(idLength) + "\n");
		if (idLength <= 991)
		{
			ASSERT_TRUE(TurnUntil(handler, [&] { return client.lines.size() == 1; }, 10)) << danted.LogText();
			EXPECT_EQ("through " + std::to_string(idLength), client.lines[0]);
			EXPECT_EQ(1, client.connects);
			continue;
		}
		ASSERT_TRUE(TurnUntil(handler, [&] { return client.connectFailures == 1; }, 10));
		ASSERT_NE(nullptr, log.Find("socks4 user id too long"));
		EXPECT_EQ(992, log.Find("socks4 user id too long")->code);
		EXPECT_EQ(0u, client.GetBytesSent());
		EXPECT_EQ(0, client.connects);
		handler.Select(0, 0);
	}

	// Refused by the server's rule: status 91.
	UseProxy(handler, danted.port);
	Socks4Client refused(handler, log);
	Ipv4Address toBlocked("127.0.0.1", blocked.port);
	ASSERT_TRUE(refused.Open(toBlocked));
	handler.Add(&refused);
	ASSERT_TRUE(TurnUntil(handler, [&] { return refused.connectFailures == 1; }, 10)) << danted.LogText();
	EXPECT_EQ(91, log.Find("socks4 server reports connect failed")->code);
	EXPECT_LT(blocked.TryAccept(), 0);

	// A server that speaks first: its greeting may come in the same read as
	// the reply, and reaches the owner whole, without the reply.
	RawListener greeter;
	std::thread greeting([&] {
		const int fd = ::accept(greeter.fd, nullptr, nullptr);
		::send(fd, "welcome\r\n", 9, 0);
		char x;
		::recv(fd, &x, 1, 0);
		::close(fd);
	});
	Socks4Client greeted(handler, log);
	Ipv4Address toGreeter("127.0.0.1", greeter.port);
	ASSERT_TRUE(greeted.Open(toGreeter));
	handler.Add(&greeted);
	ASSERT_TRUE(TurnUntil(handler, [&] { return greeted.GetBytesSent() == 9; }, 10));
	// Let reply and greeting both arrive before the next read.
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	ASSERT_TRUE(TurnUntil(handler, [&] { return !greeted.lines.empty(); }, 10));
	EXPECT_EQ((std::vector<std::string>{"welcome"}), greeted.lines);
	EXPECT_EQ(1, greeted.connects);
	EXPECT_EQ(greeted.GetBytesReceived(), 8u + 9u);
	greeted.SetCloseAndDelete(true);
	TurnUntil(handler, [&] { return !handler.HasSocket(&greeted); }, 10);
	greeting.join();
}
