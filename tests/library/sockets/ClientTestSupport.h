#pragma once

// Helpers for the tests of outgoing connections: a client socket that
// records its connect events, plain loopback listeners to connect to, and a
// loop that turns a handler until something has happened.

#include "SocketTestSupport.h"

#include "sockets/ISocketHandler.h"

#include <fcntl.h>

#include <chrono>

class ClientSocket : public RecordingSocket
{
public:
	explicit ClientSocket(ISocketHandler& handler, int retryLimit = 0, int connectTimeout = 5)
		: RecordingSocket(handler, false)
	{
		m_connectionRetry = retryLimit;
		m_connectTimeout = connectTimeout;
	}
	void OnConnectFailed() override { ++connectFailures; }
	bool OnConnectRetry() override
	{
		++retryQuestions;
		return retry;
	}
	void OnReconnect() override { ++reconnects; }
	void OnConnectTimeout() override
	{
		++connectTimeouts;
		TcpSocket::OnConnectTimeout();
	}
	using TcpSocket::SetReconnectEnabled;

	int connectFailures = 0, retryQuestions = 0, reconnects = 0, connectTimeouts = 0;
	bool retry = true;
};

// A plain listening descriptor on 127.0.0.1 (port 0: any free port).
struct RawListener
{
	explicit RawListener(unsigned short wanted = 0, int backlog = 16)
	{
		fd = ::socket(AF_INET, SOCK_STREAM, 0);
		const int on = 1;
		::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_port = htons(wanted);
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, backlog) != 0)
		{
			::close(fd);
			fd = -1;
			return;
		}
		socklen_t length = sizeof(a);
		::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
		port = ntohs(a.sin_port);
	}
	~RawListener() { Close(); }
	void Close()
	{
		if (fd >= 0)
			::close(fd);
		fd = -1;
	}
	// An accepted connection, or -1 when none is waiting.
	int TryAccept()
	{
		const int flags = ::fcntl(fd, F_GETFL);
		::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
		const int a = ::accept(fd, nullptr, nullptr);
		::fcntl(fd, F_SETFL, flags);
		return a;
	}
	int fd;
	unsigned short port = 0;
};

// Bytes waiting on a descriptor, read without blocking ("" when none).
inline std::string ReadAvailable(int fd)
{
	char buf[4096];
	const ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
	return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Turns the handler in short steps until done() holds (asked once a turn)
// or the seconds pass; false when they passed.
template <typename Done>
bool TurnUntil(ISocketHandler& handler, Done done, double seconds)
{
	const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
	while (!done())
	{
		if (std::chrono::steady_clock::now() >= end)
			return false;
		handler.Select(0, 50000);
	}
	return true;
}
