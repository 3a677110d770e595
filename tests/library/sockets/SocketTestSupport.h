#pragma once

// Helpers for the socket framework's tests: a log that records what the
// framework reports, sockets that record what they receive and what their
// connects do, raw loopback and socketpair ends to play the peer, and a loop
// that turns a handler until something has happened.

#include "base/Exception.h"
#include "base/StdLog.h"
#include "platform/winsock.h"
#include "sockets/ISocketHandler.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/Socket.h"
#include "sockets/TcpSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
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

	// Entries with the text (and the call, unless it is "").
	long Count(const std::string& text, const std::string& call = "") const
	{
		return std::count_if(entries.begin(), entries.end(),
			[&](const LogEntry& e) { return e.text == text && (call.empty() || e.call == call); });
	}

	// The first entry with the text, or null.
	const LogEntry* Find(const std::string& text) const
	{
		auto it = std::find_if(entries.begin(), entries.end(), [&](const LogEntry& e) { return e.text == text; });
		return it != entries.end() ? &*it : nullptr;
	}

	// "call code LEVEL" of the first entry with the text, "none" without one.
	std::string Line(const std::string& text) const
	{
		static const char* const levels[] = {"INFO", "WARNING", "ERROR", "FATAL"};
		const LogEntry* e = Find(text);
		return e == nullptr ? "none" : e->call + " " + std::to_string(e->code) + " " + levels[e->level & 3];
	}

	std::vector<LogEntry> entries;
};

// Records its input; the hook lets a test act from inside OnLine.
class RecordingSocket : public TcpSocket
{
public:
	explicit RecordingSocket(ISocketHandler& handler, bool lineMode = true)
		: TcpSocket(handler)
	{
		SetLineMode(lineMode);
	}
	~RecordingSocket() override { *destroyed += 1; }

	void OnLine(const std::string& line) override
	{
		lines.push_back(line);
		if (onLine)
			onLine(*this, line);
	}
	void OnRawData(const char* data, std::size_t n) override { raw.append(data, n); }
	// -1 for the event without arguments, else reason * 100000 + code.
	void OnDisconnect() override { disconnects.push_back(-1); }
	void OnDisconnect(short reason, int code) override { disconnects.push_back(reason * 100000 + code); }
	void OnDelete() override { *deleted += 1; }
	void OnWriteComplete() override { ++writeCompletes; }
	void OnConnect() override { ++connects; }
	void OnTimeout() override { ++timeouts; }

	std::vector<std::string> lines;
	std::string raw;
	std::vector<int> disconnects;
	int writeCompletes = 0, connects = 0, timeouts = 0;
	int ownDeletes = 0, ownDestroys = 0;
	// OnDelete calls, and destructor runs (what tells a leak).
	int* deleted = &ownDeletes;
	int* destroyed = &ownDestroys;
	std::function<void(RecordingSocket&, const std::string&)> onLine;
};

class LineEcho : public TcpSocket
{
public:
	explicit LineEcho(ISocketHandler& handler)
		: TcpSocket(handler)
	{
		SetLineMode(true);
	}
	void OnLine(const std::string& line) override { Send(line + "\n"); }
};

// An outgoing connection that records its connect events.
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

// A connected, owned (unless said otherwise) socket on descriptor fd that
// counts its OnDelete in *deleted and its destruction in *destroyed.
inline RecordingSocket* Attached(ISocketHandler& handler, int fd, int* deleted, bool owned = true,
	int* destroyed = nullptr)
{
	auto* s = new RecordingSocket(handler);
	s->Attach(fd);
	s->SetConnected(true);
	s->SetOwnedByHandler(owned);
	s->deleted = deleted;
	if (destroyed != nullptr)
		s->destroyed = destroyed;
	return s;
}

// A connected pair of stream descriptors; the test's socket takes fd[0].
struct SocketPair
{
	SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
	~SocketPair() { ClosePeer(); }
	void Send(const std::string& bytes) { ::send(fd[1], bytes.data(), bytes.size(), MSG_NOSIGNAL); }
	// The peer goes away with bytes it never read: a reset, not an orderly
	// end of the stream.
	void ResetPeer()
	{
		::send(fd[0], "!", 1, MSG_NOSIGNAL);
		ClosePeer();
	}
	void ClosePeer()
	{
		if (fd[1] >= 0)
			::close(fd[1]);
		fd[1] = -1;
	}
	int fd[2];
};

// The message of the Exception that call throws, or "" when it throws none.
template <typename Call>
std::string ThrownMessage(Call call)
{
	try
	{
		call();
	}
	catch (const Exception& e)
	{
		return e.Message();
	}
	return "";
}

inline sockaddr_in LoopbackAddress(unsigned short port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return a;
}

// A descriptor of the type bound (bind) or connected to 127.0.0.1:port, or -1.
inline int LoopbackDescriptor(int type, unsigned short port, bool bind)
{
	const int s = ::socket(AF_INET, type, 0);
	const sockaddr_in a = LoopbackAddress(port);
	const auto* to = reinterpret_cast<const sockaddr*>(&a);
	if ((bind ? ::bind(s, to, sizeof(a)) : ::connect(s, to, sizeof(a))) == 0)
		return s;
	::close(s);
	return -1;
}

// A blocking client connected to 127.0.0.1:port (-1 on failure).
inline int ConnectLoopback(unsigned short port)
{
	return LoopbackDescriptor(SOCK_STREAM, port, false);
}

inline unsigned short LocalPort(int s)
{
	sockaddr_in a{};
	socklen_t length = sizeof(a);
	::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
	return ntohs(a.sin_port);
}

// Takes every descriptor the process may have (under a limit lowered to at
// most 256) by duplicating fd, until Release or the end of the scope.
struct DescriptorsTaken
{
	explicit DescriptorsTaken(int fd)
	{
		EXPECT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
		rlimit low = saved;
		low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
		EXPECT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
		for (int copy; (copy = ::dup(fd)) >= 0;)
			fillers.push_back(copy);
	}
	~DescriptorsTaken() { Release(); }
	void Release()
	{
		for (int copy : fillers)
			::close(copy);
		if (!fillers.empty())
			::setrlimit(RLIMIT_NOFILE, &saved);
		fillers.clear();
	}
	rlimit saved{};
	std::vector<int> fillers;
};

// A plain listening descriptor on 127.0.0.1 (port 0: any free port).
struct RawListener
{
	explicit RawListener(unsigned short wanted = 0, int backlog = 16)
	{
		fd = ::socket(AF_INET, SOCK_STREAM, 0);
		const int on = 1;
		::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
		const sockaddr_in a = LoopbackAddress(wanted);
		if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, backlog) != 0)
			Close();
		else
			port = LocalPort(fd);
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

// A listener on 127.0.0.1 (any free port), added to the handler.
template <class X>
std::unique_ptr<ListenSocket<X>> LoopbackListener(ISocketHandler& handler)
{
	auto listener = std::make_unique<ListenSocket<X>>(handler);
	Ipv4Address loopback("127.0.0.1", 0);
	EXPECT_EQ(0, listener->Bind(loopback, 20));
	EXPECT_NE(0, listener->GetPort());
	handler.Add(listener.get());
	return listener;
}

// A loopback port on which nobody listens.
inline unsigned short ClosedPort()
{
	return RawListener().port;
}

// Bytes waiting on a descriptor, read without blocking ("" when none).
inline std::string ReadAvailable(int fd)
{
	char buf[4096];
	const ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
	return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Turns the handler in short steps until done() holds (asked once a turn)
// or the seconds pass; false when they passed.
inline bool TurnUntil(ISocketHandler& handler, const std::function<bool()>& done, double seconds = 20)
{
	const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
	while (!done())
	{
		if (std::chrono::steady_clock::now() >= end)
			return false;
		handler.Select(0, 20000);
	}
	return true;
}
