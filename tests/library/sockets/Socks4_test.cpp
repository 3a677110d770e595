#include "Socks4TestSupport.h"

#include <gtest/gtest.h>

namespace
{

std::string ReadExactly(int fd, std::size_t n)
{
	std::string bytes;
	char buf[1024];
	for (ssize_t r = 1; bytes.size() < n && r > 0;)
		if ((r = ::recv(fd, buf, std::min(sizeof(buf), n - bytes.size()), 0)) > 0)
			bytes.append(buf, static_cast<std::size_t>(r));
	return bytes;
}

} // namespace

TEST(Socks4, RequestBytesAndAReplyInPiecesFollowedByData)
{
	Socks4Loop s;
	RawListener proxy;
	s.UseProxy(proxy.port, "abc");
	Socks4Client client(s.handler, s.log);
	ASSERT_TRUE(s.Start(client, 80, "10.0.0.1")); // never reached: the proxy is the test
	EXPECT_EQ(1, s.log.Count("Connecting to socks4 server @ 127.0.0.1:" + std::to_string(proxy.port)));
	int server = -1;
	ASSERT_TRUE(s.Until([&] { return (server = proxy.TryAccept()) >= 0; }));
	ASSERT_TRUE(s.Until([&] { return client.GetBytesSent() == 12; }));
	EXPECT_EQ(std::string("\x04\x01\x00\x50\x0a\x00\x00\x01" "abc", 11) + '\0', ReadExactly(server, 12));

	// The reply in pieces of 1, 1, 1 and 5 bytes, the last one followed in
	// the same write by the server's first line.
	for (const std::string& piece : {std::string(1, '\0'), std::string("Z"), std::string(1, '\0')})
	{
		::send(server, piece.data(), piece.size(), 0);
		s.Until([] { return false; }, 0.2);
		EXPECT_TRUE(client.IsSocks4());
	}
	const std::string last = std::string("\x50\x0a\x00\x00\x01", 5) + "hello\r\n";
	::send(server, last.data(), last.size(), 0);
	ASSERT_TRUE(s.Until([&] { return !client.lines.empty(); }));
	EXPECT_EQ((std::vector<std::string>{"hello"}), client.lines);
	EXPECT_EQ(1, client.connects);
	EXPECT_FALSE(client.IsSocks4());
	const LogEntry* established = s.log.Find("Connection established");
	ASSERT_NE(nullptr, established);
	EXPECT_EQ("OnSocks4Read", established->call);
	EXPECT_EQ(established, &s.log.entries[client.logLinesAtConnect]); // logged after OnConnect
	::send(server, "more\n", 5, 0);
	ASSERT_TRUE(s.Until([&] { return client.lines.size() == 2; }));
	EXPECT_EQ("more", client.lines[1]);
	::close(server);
}

TEST(Socks4, RefusalsAndUnknownAnswersOfTheServer)
{
	Socks4Loop s;
	RawListener proxy;
	s.UseProxy(proxy.port);
	Socks4Client refused(s.handler, s.log), unknown(s.handler, s.log);
	int servers[2] = {-1, -1};
	for (Socks4Client* client : {&refused, &unknown})
		ASSERT_TRUE(s.Start(*client, 80, "10.0.0.1"));
	for (int& server : servers)
		ASSERT_TRUE(s.Until([&] { return (server = proxy.TryAccept()) >= 0; }));
	// An empty user id: nine bytes, the last the terminator.
	ASSERT_TRUE(s.Until([&] { return refused.GetBytesSent() == 9 && unknown.GetBytesSent() == 9; }));
	for (int server : servers)
		EXPECT_EQ(9u, ReadExactly(server, 9).size());
	// Which accepted connection is whose does not matter: both get both
	// answers in turn, and the first answer decides.
	::send(servers[0], "\x00\x5c\0\0\0\0\0\0", 8, 0);
	ASSERT_TRUE(s.Until([&] { return s.log.Count("socks4 server reports connect failed") == 1; }));
	::send(servers[1], "\x00\x5f\0\0\0\0\0\0", 8, 0);
	ASSERT_TRUE(s.Until([&] { return s.log.Count("socks4 server unrecognized response") == 1; }));
	EXPECT_EQ("OnSocks4Read 92 FATAL", s.log.Line("socks4 server reports connect failed"));
	EXPECT_EQ("OnSocks4Read 95 FATAL", s.log.Line("socks4 server unrecognized response"));
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
	Socks4Loop s;
	const std::string warning = "connection to socks4 server failed, trying direct connection";
	// Refused later (loopback port without listener), then at once
	// (an address the system will not connect to).
	s.UseProxy(ClosedPort());
	Socks4Client givesUp(s.handler, s.log);
	ASSERT_TRUE(s.Start(givesUp));
	ASSERT_TRUE(s.Until([&] { return givesUp.connectFailures == 1; }));
	EXPECT_EQ(1, s.log.Count(warning));
	s.handler.SetSocks4Host(static_cast<std::uint32_t>(inet_addr("127.255.255.255")));
	// A host text that does not resolve changes nothing.
	EXPECT_FALSE(s.handler.SetSocks4Host("host.invalid"));
	EXPECT_EQ(inet_addr("127.255.255.255"), s.handler.GetSocks4Host());
	Socks4Client givesUpAtOnce(s.handler, s.log);
	EXPECT_FALSE(s.Start(givesUpAtOnce));
	EXPECT_EQ(1, s.log.Count("Network is unreachable."));

	s.handler.SetSocks4TryDirect(true);
	Socks4Client directAtOnce(s.handler, s.log);
	ASSERT_TRUE(s.Start(directAtOnce));
	EXPECT_FALSE(directAtOnce.IsSocks4());
	s.UseProxy(ClosedPort());
	Socks4Client directLater(s.handler, s.log); // takes the proxy when made
	ASSERT_TRUE(s.Start(directLater));
	EXPECT_TRUE(directLater.IsSocks4());
	for (Socks4Client* client : {&directAtOnce, &directLater})
	{
		client->Send("via " + std::to_string(client->Uid()) + "\n");
		ASSERT_TRUE(s.Until([&] { return client->lines.size() == 1; }));
		EXPECT_EQ("via " + std::to_string(client->Uid()), client->lines[0]);
		EXPECT_EQ(1, client->connects);
		EXPECT_EQ(0, client->connectFailures);
	}
	EXPECT_EQ(2, s.log.Count(warning));
	EXPECT_EQ(s.echo.GetPort(), directLater.GetRemoteAddress()->GetPort());
}

TEST(Socks4, ThroughDanted)
{
	Socks4Loop s;
	RawListener blocked;
	DantedProxy danted(blocked.port);
	ASSERT_TRUE(danted.running) << danted.LogText();

	// Granted, with user ids of none and of the longest length there is
	// room for; one byte longer is refused before anything is sent.
	for (std::size_t idLength : {0, 991, 992})
	{
		s.UseProxy(danted.port, std::string(idLength, 'u'));
		Socks4Client client(s.handler, s.log);
		ASSERT_TRUE(s.Start(client));
		client.Send("through " + std::to_string(idLength) + "\n");
		if (idLength <= 991)
		{
			ASSERT_TRUE(s.Until([&] { return client.lines.size() == 1; })) << danted.LogText();
			EXPECT_EQ("through " + std::to_string(idLength), client.lines[0]);
			EXPECT_EQ(1, client.connects);
			continue;
		}
		ASSERT_TRUE(s.Until([&] { return client.connectFailures == 1; }));
		EXPECT_EQ("OnSocks4Connect 992 FATAL", s.log.Line("socks4 user id too long"));
		EXPECT_EQ(0u, client.GetBytesSent());
		EXPECT_EQ(0, client.connects);
		s.handler.Select(0, 0);
	}

	// Refused by the server's rule: status 91.
	s.UseProxy(danted.port);
	Socks4Client refused(s.handler, s.log);
	ASSERT_TRUE(s.Start(refused, blocked.port));
	ASSERT_TRUE(s.Until([&] { return refused.connectFailures == 1; })) << danted.LogText();
	EXPECT_EQ(91, s.log.Find("socks4 server reports connect failed")->code);
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
	Socks4Client greeted(s.handler, s.log);
	ASSERT_TRUE(s.Start(greeted, greeter.port));
	ASSERT_TRUE(s.Until([&] { return greeted.GetBytesSent() == 9; }));
	// Let reply and greeting both arrive before the next read.
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	ASSERT_TRUE(s.Until([&] { return !greeted.lines.empty(); }));
	EXPECT_EQ((std::vector<std::string>{"welcome"}), greeted.lines);
	EXPECT_EQ(1, greeted.connects);
	EXPECT_EQ(greeted.GetBytesReceived(), 8u + 9u);
	greeted.SetCloseAndDelete(true);
	s.Until([&] { return !s.handler.HasSocket(&greeted); });
	greeting.join();
}
