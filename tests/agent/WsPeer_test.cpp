// The agent's WebSocket against a real client: the `ws` package for Node,
// installed by the test command at its pinned version.

#include "agent/WebSocket.h"
#include "base/StdLog.h"
#include "PKI/cert_util.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"
#include "support/Shell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
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
