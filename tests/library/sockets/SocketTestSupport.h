#pragma once

// Helpers for the socket framework's tests: a log that records what the
// framework reports, a TCP socket that records what it receives, and raw
// loopback and socketpair ends to play the peer.

#include "base/StdLog.h"
#include "platform/winsock.h"
#include "sockets/Socket.h"
#include "sockets/TcpSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

struct LogEntry
{
	int fd;
	std::string call;
	int code;
	std::string text;
	int level;
};

class RecordingLog : public StdLog
{
public:
	void Log(ISocketHandler*, Socket* socket, const std::string& call, int code, const std::string& text,
		LogLevel level) override
	{
		entries.push_back({socket != nullptr ? socket->GetSocket() : -1, call, code, text, level});
	}

	int Count(const std::string& text) const
	{
		int n = 0;
		for (const LogEntry& e : entries)
			n += e.text == text ? 1 : 0;
		return n;
	}

	const LogEntry* Find(const std::string& text) const
	{
		for (const LogEntry& e : entries)
		{
			if (e.text == text)
				return &e;
		}
		return nullptr;
	}

	std::vector<LogEntry> entries;
};

// Records its input; the hooks let a test act from inside the callbacks.
class RecordingSocket : public TcpSocket
{
public:
	explicit RecordingSocket(ISocketHandler& handler, bool lineMode = true)
		: TcpSocket(handler)
	{
		SetLineMode(lineMode);
	}

	void OnLine(const std::string& line) override
	{
		lines.push_back(line);
		if (onLine)
			onLine(*this, line);
	}

	void OnRawData(const char* data, std::size_t n) override
	{
		raw.append(data, n);
	}

	void OnDisconnect(short reason, int code) override
	{
		disconnects.push_back(reason * 100000 + code);
	}

	void OnDisconnect() override
	{
		++plainDisconnects;
	}

	void OnDelete() override
	{
		if (deleted != nullptr)
			++*deleted;
	}

	void OnWriteComplete() override
	{
		++writeCompletes;
	}

	std::vector<std::string> lines;
	std::string raw;
	std::vector<int> disconnects;
	int plainDisconnects = 0;
	int writeCompletes = 0;
	int* deleted = nullptr;
	std::function<void(RecordingSocket&, const std::string&)> onLine;
};

// A connected pair of stream descriptors.
struct SocketPair
{
	SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
	~SocketPair()
	{
		if (fd[1] >= 0)
			::close(fd[1]);
	}
	void Send(const std::string& bytes) { ::send(fd[1], bytes.data(), bytes.size(), MSG_NOSIGNAL); }
	void ClosePeer()
	{
		::close(fd[1]);
		fd[1] = -1;
	}
	int fd[2];
};

inline sockaddr_in LoopbackAddress(unsigned short port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return a;
}

// A blocking client connected to 127.0.0.1:port (-1 on failure).
inline int ConnectLoopback(unsigned short port)
{
	const int s = ::socket(AF_INET, SOCK_STREAM, 0);
	const sockaddr_in a = LoopbackAddress(port);
	if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0)
	{
		::close(s);
		return -1;
	}
	return s;
}

// Everything the peer sends until it closes, waiting at most about 5 s.
inline std::string ReadToEnd(int fd)
{
	timeval tv{5, 0};
	::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
	std::string all;
	char buf[65536];
	for (;;)
	{
		const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
		if (n <= 0)
			return all;
		all.append(buf, static_cast<std::size_t>(n));
	}
}
