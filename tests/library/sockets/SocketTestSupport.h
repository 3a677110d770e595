#pragma once

// Helpers for the socket framework's tests: a log that records what the
// framework reports, a TCP socket that records what it receives, and raw
// loopback and socketpair ends to play the peer.

#include "base/Exception.h"
#include "base/StdLog.h"
#include "platform/winsock.h"
#include "sockets/Socket.h"
#include "sockets/TcpSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

	long Count(const std::string& text) const
	{
		return std::count_if(entries.begin(), entries.end(), [&](const LogEntry& e) { return e.text == text; });
	}

	// The first entry with the text, or null.
	const LogEntry* Find(const std::string& text) const
	{
		auto it = std::find_if(entries.begin(), entries.end(), [&](const LogEntry& e) { return e.text == text; });
		return it != entries.end() ? &*it : nullptr;
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

// A blocking client connected to 127.0.0.1:port (-1 on failure).
inline int ConnectLoopback(unsigned short port)
{
	const int s = ::socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0)
	{
		::close(s);
		return -1;
	}
	return s;
}
