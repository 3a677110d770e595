// The agent's WebSocket against a real client: the `ws` package for Node,
// installed by the test command at its pinned version; and against a raw TCP
// client where the test needs a peer that misbehaves on purpose.

#include "AgentTestSupport.h"

#include "agent/WebSocket.h"
#include "base/StdLog.h"
#include "PKI/cert_util.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"
#include "support/Shell.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace
{

class QuietLog : public StdLog
{
public:
	void Log(ISocketHandler*, Socket*, const std::string&, int, const std::string&, LogLevel) override {}
};

// Echoes "echo:" texts; answers any other message with its length and
// SHA-1, so that binary messages come back as valid text.
class EchoWebSocket : public WebSocket
{
public:
	using WebSocket::WebSocket;

	void OnFirst() override {}
	void OnRequestHeader(const std::string&, const std::string&) override {}
	void OnRequestHeadersEnd() override {}
	void OnRequestBody(const char*, std::size_t) override {}

	void OnMessage(std::string message) override
	{
		if (message.rfind("echo:", 0) == 0)
		{
			SendTextFrame(message);
			return;
		}
		unsigned char* digest = nullptr;
		const int n = DigestByName("SHA1", reinterpret_cast<const unsigned char*>(message.data()),
			static_cast<int>(message.size()), &digest);
		std::string hex;
		for (int i = 0; i < n; ++i)
		{
			char pair[3];
			std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
			hex += pair;
		}
		std::free(digest);
		SendTextFrame("len=" + std::to_string(message.size()) + " sha1=" + hex);
	}
};

// The handler's loop runs on a thread of its own; only it touches the
// sockets.
struct LoopbackServer
{
	LoopbackServer()
	{
		Ipv4Address loopback("127.0.0.1", 0);
		EXPECT_EQ(0, listener.Bind(loopback, 20));
		port = listener.GetPort();
		handler.Add(&listener);
		loop = std::thread([this] {
			while (!stop)
				handler.Select(0, 20000);
		});
	}

	~LoopbackServer()
	{
		stop = true;
		loop.join();
	}

	QuietLog log;
	SocketHandler handler{&log};
	ListenSocket<EchoWebSocket> listener{handler};
	unsigned short port = 0;
	std::atomic<bool> stop{false};
	std::thread loop;
};

} // namespace

TEST(WsPeer, MessagesFragmentsPingsAndCloses)
{
	LoopbackServer server;
	const std::string output =
		Shell("node " ZC_SOURCE_DIR "/tests/peers/ws-client.js " + std::to_string(server.port));
	EXPECT_EQ("text 5 same\n"
			  "text 125 same\n"
			  "text 126 same\n"
			  "text 65535 same\n"
			  "text 65536 same\n"
			  "text 1048576 same\n"
			  "korean same\n"
			  "binary 0 same\n"
			  "binary 1 same\n"
			  "binary 126 same\n"
			  "binary 65536 same\n"
			  "binary 1048576 same\n"
			  "fragmented echo:first,second,third\n"
			  "pong between\n"
			  "second page status 403\n"
			  "close 4001\n"
			  "one frame above 1 MiB: close 1009\n"
			  "fragments above 1 MiB: close 1009\n",
		output);
}

// A client that goes on sending after its message passed the limit still
// reads the 1009 close frame and then an orderly end of the stream: the
// connection reads and drops the rest instead of closing under it, which
// would reset the connection and could destroy the close frame.
TEST(WsPeer, SenderPastTheLimitStillReadsTheCloseFrame)
{
	LoopbackServer server;
	const int s = ConnectLoopback(server.port);
	ASSERT_GE(s, 0);
	const timeval bound{20, 0};
	::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
	::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
	const std::string upgrade = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
								"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
	ASSERT_EQ(static_cast<ssize_t>(upgrade.size()), ::send(s, upgrade.data(), upgrade.size(), MSG_NOSIGNAL));
	std::string head;
	char c;
	while (head.find("\r\n\r\n") == std::string::npos && ::recv(s, &c, 1, 0) == 1)
		head += c;
	ASSERT_EQ(0u, head.rfind("HTTP/1.1 101 ", 0)) << head;

	// One message above the limit, then more than the loopback buffers hold,
	// so that the client is still sending when the close frame comes.
	std::string bytes = Frame(0x82, std::string(WebSocket::kMaxMessageSize + 1, 'm'));
	bytes.resize(16 * WebSocket::kMaxMessageSize, 'x');
	std::size_t sent = 0;
	while (sent < bytes.size())
	{
		const ssize_t n = ::send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
		ASSERT_GT(n, 0) << "after " << sent << " bytes: " << std::strerror(errno);
		sent += static_cast<std::size_t>(n);
	}
	std::string received;
	char buf[256];
	ssize_t n;
	while ((n = ::recv(s, buf, sizeof(buf), 0)) > 0)
		received.append(buf, static_cast<std::size_t>(n));
	EXPECT_EQ(0, n) << std::strerror(errno);
	EXPECT_EQ(CloseFrame(1009), received);
	::close(s);
}
