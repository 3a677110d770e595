#pragma once

// A WebSocket that records what the request and frame readers hand it, a
// fixture that drives one over a socketpair (one read per chunk), a loopback
// listener whose loop the test turns, client frames, and engine.io-client's
// parser to read what the page gets.

#include "library/sockets/SocketTestSupport.h"

#include "agent/AgentState.h"
#include "agent/WebSocket.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"
#include "support/Shell.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

// The handshake of RFC 6455 section 1.3.
inline const std::string kUpgrade = "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
	"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

class RecordingWebSocket : public WebSocket
{
public:
	explicit RecordingWebSocket(ISocketHandler& handler) : WebSocket(handler) {}

	void OnFirst() override { events.push_back("first " + GetMethod() + "|" + GetPath() + "|" + GetQuery()); }
	void OnRequestHeader(const std::string& name, const std::string& value) override
	{
		events.push_back("header " + name + "=" + value);
	}
	void OnRequestHeadersEnd() override { events.push_back("end"); }
	void OnRequestBody(const char* data, std::size_t length) override { body.append(data, length); }
	// Answered at once, as the polling transport does after its response;
	// with holdPosts, a POST holds the input until ReleaseInput.
	void OnRequestComplete() override
	{
		events.push_back("complete " + body);
		body.clear();
		ResetRequest();
		if (holdPosts && GetMethod() == "POST")
			HoldInput();
	}
	void OnMessage(std::string message) override { messages.push_back(std::move(message)); }
	void OnCloseFrame() override { events.push_back("close frame"); }
	void OnSessionConnected() override { events.push_back("connected"); }

	using WebSocket::GetVersion;
	using WebSocket::ReleaseInput;

	bool holdPosts = false;
	std::vector<std::string> events;
	std::string body;
	std::vector<std::string> messages;
};

struct WebSocketFixture
{
	WebSocketFixture() : socket(new RecordingWebSocket(handler))
	{
		socket->Attach(pair.fd[0]);
		socket->SetConnected(true);
		socket->SetNonblocking(true);
		// The test deletes it, so that it can look at it after a close.
		socket->SetOwnedByHandler(false);
		handler.Add(socket);
		handler.Select(0, 0);
	}

	~WebSocketFixture()
	{
		if (handler.HasSocket(socket))
			handler.Remove(socket);
		delete socket;
	}

	// One chunk, one turn: the socket reads exactly that chunk. A chunk
	// larger than the socket takes at once is sent while the loop turns.
	void Feed(const std::string& chunk)
	{
		for (std::size_t sent = 0, turns = 0; sent < chunk.size() && turns < 5000; ++turns)
		{
			const ssize_t n = ::send(pair.fd[1], chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
			if (n > 0)
				sent += static_cast<std::size_t>(n);
			else if (errno != EAGAIN)
				break;
			if (sent < chunk.size())
				handler.Select(0, 1000);
		}
		handler.Select(1, 0);
		int unread = 0;
		for (int turns = 0; turns < 1000 && ::ioctl(pair.fd[0], FIONREAD, &unread) == 0 && unread > 0; ++turns)
			handler.Select(0, 1000);
	}

	// What the peer has received so far, turning the loop while it waits.
	std::string Received(std::size_t want = 1)
	{
		std::string received;
		char buf[65536];
		for (int turns = 0; turns < 2000; ++turns)
		{
			const ssize_t n = ::recv(pair.fd[1], buf, sizeof(buf), MSG_DONTWAIT);
			if (n > 0)
				received.append(buf, static_cast<std::size_t>(n));
			else if (n == 0 || received.size() >= want)
				break;
			handler.Select(0, 1000);
		}
		return received;
	}

	// Turns the loop until the handler has closed the socket.
	bool Closed(int turns = 200)
	{
		for (; turns > 0 && handler.HasSocket(socket); --turns)
			handler.Select(0, 10000);
		return !handler.HasSocket(socket);
	}

	// True once the peer reads the end of the stream, with nothing before it.
	bool PeerSeesEnd()
	{
		char c;
		for (int turns = 0; turns < 200; ++turns)
		{
			const ssize_t n = ::recv(pair.fd[1], &c, 1, MSG_DONTWAIT);
			if (n >= 0)
				return n == 0;
			handler.Select(0, 10000);
		}
		return false;
	}

	// The peer stops sending, as a client does after the close frames.
	void EndPeer() { ::shutdown(pair.fd[1], SHUT_WR); }

	void Upgrade()
	{
		Feed(kUpgrade);
		const std::string answer = Received();
		EXPECT_EQ(0u, answer.rfind("HTTP/1.1 101 ", 0)) << answer;
		socket->events.clear();
	}

	RecordingLog log;
	SocketHandler handler{&log};
	SocketPair pair;
	RecordingWebSocket* socket;
};

// A listener of such connections on a loopback port.
template <typename Connection>
struct LoopbackServer
{
	LoopbackServer()
	{
		Ipv4Address loopback("127.0.0.1", 0);
		EXPECT_EQ(0, listener.Bind(loopback, 20));
		handler.Add(&listener);
	}

	unsigned short Port() { return listener.GetPort(); }

	// Turns the loop for about that long.
	void RunFor(std::chrono::milliseconds span)
	{
		for (const auto end = std::chrono::steady_clock::now() + span; std::chrono::steady_clock::now() < end;)
			handler.Select(0, 20000);
	}

	RecordingLog log;
	SocketHandler handler{&log};
	ListenSocket<Connection> listener{handler};
};

// A client frame: FIN and opcode, then the payload masked with the key
// (unmasked when the key is empty).
inline std::string Frame(unsigned char first, const std::string& payload, const std::string& mask = "\x37\xfa\x21\x3d")
{
	const std::uint64_t n = payload.size();
	const int extra = n < 126 ? 0 : n <= 0xffff ? 2 : 8;
	std::string f(1, static_cast<char>(first));
	f += static_cast<char>((mask.empty() ? 0 : 0x80) | (extra == 0 ? n : extra == 2 ? 126 : 127));
	for (int shift = 8 * (extra - 1); shift >= 0; shift -= 8)
		f += static_cast<char>((n >> shift) & 0xff);
	f += mask;
	for (std::size_t i = 0; i < n; ++i)
		f += mask.empty() ? payload[i] : static_cast<char>(payload[i] ^ mask[i % 4]);
	return f;
}

// The close frame the agent answers with for a status.
inline std::string CloseFrame(unsigned status)
{
	return std::string("\x88\x02", 2) + static_cast<char>(status >> 8) + static_cast<char>(status & 0xff);
}

// engine.io-client's own parser reads the body as the page would.
inline std::string PageReads(const std::string& body, bool jsonp = false)
{
	TempFolder folder;
	std::ofstream(folder.Path() + "/body", std::ios::binary) << body;
	return Shell("cd " ZC_SOURCE_DIR "/tests/peers && NODE_PATH=node_modules node ../agent/node/eio_payload.js decode "
		+ folder.Path() + "/body" + (jsonp ? " jsonp" : ""));
}
