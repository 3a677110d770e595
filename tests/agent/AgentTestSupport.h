#pragma once

// A WebSocket subclass that records what the request reader and the frame
// reader hand it, and a fixture that drives one such connection over a
// socketpair, one read per chunk.

#include "library/sockets/SocketTestSupport.h"

#include "agent/AgentState.h"
#include "agent/WebSocket.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cerrno>
#include <string>
#include <vector>

class RecordingWebSocket : public WebSocket
{
public:
	explicit RecordingWebSocket(ISocketHandler& handler)
		: WebSocket(handler)
	{
	}

	void OnFirst() override { events.push_back("first " + GetMethod() + "|" + GetPath() + "|" + GetQuery()); }
	void OnRequestHeader(const std::string& name, const std::string& value) override
	{
		events.push_back("header " + name + "=" + value);
	}
	void OnRequestHeadersEnd() override { events.push_back("end"); }
	void OnRequestBody(const char* data, std::size_t length) override { body.append(data, length); }
	void OnRequestComplete() override
	{
		events.push_back("complete " + body);
		body.clear();
		if (resetOnComplete)
			ResetRequest();
	}
	void OnMessage(std::string message) override { messages.push_back(std::move(message)); }
	void OnCloseFrame() override { events.push_back("close frame"); }
	void OnSessionConnected() override { events.push_back("connected"); }

	using WebSocket::GetVersion;

	std::vector<std::string> events;
	std::string body;
	std::vector<std::string> messages;
	// Answered at once, as the polling transport does after its response.
	bool resetOnComplete = true;
};

struct WebSocketFixture
{
	WebSocketFixture()
		: socket(new RecordingWebSocket(handler))
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
		std::size_t sent = 0;
		for (int turns = 0; turns < 5000; ++turns)
		{
			const ssize_t n =
				::send(pair.fd[1], chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
			if (n > 0)
				sent += static_cast<std::size_t>(n);
			else if (errno != EAGAIN)
				break;
			if (sent == chunk.size())
				break;
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

	// The handshake of RFC 6455 section 1.3.
	void Upgrade()
	{
		Feed("GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
			 "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
			 "Sec-WebSocket-Version: 13\r\n\r\n");
		const std::string answer = Received();
		EXPECT_EQ(0u, answer.rfind("HTTP/1.1 101 ", 0)) << answer;
		socket->events.clear();
	}

	RecordingLog log;
	SocketHandler handler{&log};
	SocketPair pair;
	RecordingWebSocket* socket;
};

// A client frame: FIN and opcode, then the payload masked with the key
// (unmasked when the key is empty).
inline std::string Frame(unsigned char first, const std::string& payload, const std::string& mask = "\x37\xfa\x21\x3d")
{
	std::string f(1, static_cast<char>(first));
	const unsigned char maskBit = mask.empty() ? 0 : 0x80;
	const std::uint64_t n = payload.size();
	if (n < 126)
	{
		f += static_cast<char>(maskBit | n);
	}
	else if (n <= 0xffff)
	{
		f += static_cast<char>(maskBit | 126);
		f += static_cast<char>(n >> 8);
		f += static_cast<char>(n & 0xff);
	}
	else
	{
		f += static_cast<char>(maskBit | 127);
		for (int shift = 56; shift >= 0; shift -= 8)
			f += static_cast<char>((n >> shift) & 0xff);
	}
	f += mask;
	for (std::size_t i = 0; i < payload.size(); ++i)
		f += mask.empty() ? payload[i] : static_cast<char>(payload[i] ^ mask[i % 4]);
	return f;
}

// The close frame the agent answers with for a status.
inline std::string CloseFrame(unsigned status)
{
	return std::string("\x88\x02", 2) + static_cast<char>(status >> 8) + static_cast<char>(status & 0xff);
}
