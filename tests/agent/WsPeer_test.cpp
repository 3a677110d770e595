// The agent's WebSocket against Node's `ws` client (the pinned version), and
// against a raw client that misbehaves on purpose; the loop runs on a thread.

#include "AgentTestSupport.h"

#include "PKI/cert_util.h"
#include "support/Shell.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace
{

// Echoes "echo:" texts; answers any other message with its length and SHA-1.
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
			return SendTextFrame(message);
		unsigned char* digest = nullptr;
		const int n = DigestByName("SHA1", reinterpret_cast<const unsigned char*>(message.data()),
			static_cast<int>(message.size()), &digest);
		std::string hex;
		for (int i = 0; i < n; ++i)
			hex += "0123456789abcdef"[digest[i] >> 4] + std::string(1, "0123456789abcdef"[digest[i] & 15]);
		std::free(digest);
		SendTextFrame("len=" + std::to_string(message.size()) + " sha1=" + hex);
	}
};

struct ThreadedServer : LoopbackServer<EchoWebSocket>
{
	ThreadedServer()
		: loop([this] {
			  while (!stop)
				  RunFor(std::chrono::milliseconds(20));
		  })
	{
	}
	~ThreadedServer()
	{
		stop = true;
		loop.join();
	}
	std::atomic<bool> stop{false};
	std::thread loop;
};

} // namespace

TEST(WsPeer, MessagesFragmentsPingsAndCloses)
{
	ThreadedServer server;
	EXPECT_EQ("text 5 same\ntext 125 same\ntext 126 same\ntext 65535 same\ntext 65536 same\ntext 1048576 same\n"
			  "korean same\nbinary 0 same\nbinary 1 same\nbinary 126 same\nbinary 65536 same\nbinary 1048576 same\n"
			  "fragmented echo:first,second,third\npong between\nsecond page status 403\nclose 4001\n"
			  "one frame above 1 MiB: close 1009\nfragments above 1 MiB: close 1009\n",
		Shell("node " ZC_SOURCE_DIR "/tests/peers/ws-client.js " + std::to_string(server.Port())));
}

// A client still sending after its message passed the limit reads the 1009
// close frame and an orderly end: the connection drops the rest instead of
// closing under it, which would reset the stream and destroy the close frame.
TEST(WsPeer, SenderPastTheLimitStillReadsTheCloseFrame)
{
	ThreadedServer server;
	const int s = ConnectLoopback(server.Port());
	ASSERT_GE(s, 0);
	const timeval bound{20, 0};
	::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
	::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
	ASSERT_EQ(static_cast<ssize_t>(kUpgrade.size()), ::send(s, kUpgrade.data(), kUpgrade.size(), MSG_NOSIGNAL));
	std::string head;
	char c;
	while (head.find("\r\n\r\n") == std::string::npos && ::recv(s, &c, 1, 0) == 1)
		head += c;
	ASSERT_EQ(0u, head.rfind("HTTP/1.1 101 ", 0)) << head;

	// More than the loopback buffers hold, so that the client is still
	// sending when the close frame comes.
	std::string bytes = Frame(0x82, std::string(WebSocket::kMaxMessageSize + 1, 'm'));
	bytes.resize(16 * WebSocket::kMaxMessageSize, 'x');
	for (std::size_t sent = 0; sent < bytes.size();)
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
