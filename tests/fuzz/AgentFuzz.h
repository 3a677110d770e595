#pragma once

// One agent connection driven as the select loop drives it: accepted end of
// a socketpair, added to a SocketHandler, its input sent by the peer in reads
// of a chosen size and taken by one loop turn each. What the connection
// answers is read and kept (up to a bound).

#include "FuzzSupport.h"

#include "agent/AgentState.h"
#include "agent/PageSession.h"
#include "agent/WebSocketServer.h"
#include "sockets/SocketHandler.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

// The read size a fuzz input asks for with its first byte: 0 for reads as
// large as the socket takes, else that many bytes.
inline std::size_t ReadSizeOf(std::uint8_t selector)
{
	return selector == 0 ? 65536 : selector;
}

template <typename Connection>
class ConnectionRun
{
public:
	ConnectionRun()
	{
		if (::socketpair(AF_UNIX, SOCK_STREAM, 0, m_fd) != 0)
			FuzzFail("socketpair");
		m_socket = new Connection(m_handler);
		m_socket->Attach(m_fd[0]);
		m_socket->SetConnected(true);
		m_socket->SetNonblocking(true);
		// Deleted here, so that it can be looked at after its close.
		m_socket->SetOwnedByHandler(false);
		m_handler.Add(m_socket);
		m_handler.Select(0, 0);
	}

	~ConnectionRun()
	{
		if (m_handler.HasSocket(m_socket))
			m_handler.Remove(m_socket);
		delete m_socket;
		::close(m_fd[1]);
	}

	ConnectionRun(const ConnectionRun&) = delete;
	ConnectionRun& operator=(const ConnectionRun&) = delete;

	Connection& Socket() { return *m_socket; }
	bool Open() { return m_handler.HasSocket(m_socket); }
	const std::string& Answer() const { return m_answer; }

	// Sends the bytes in pieces of readSize, turning the loop until the
	// connection has read each piece, or until it is closed.
	void Feed(const char* data, std::size_t n, std::size_t readSize)
	{
		for (std::size_t at = 0; at < n && Open();)
		{
			const std::size_t piece = std::min(readSize, n - at);
			const ssize_t sent = ::send(m_fd[1], data + at, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
			if (sent > 0)
				at += static_cast<std::size_t>(sent);
			else if (errno != EAGAIN)
				break;
			Turn();
		}
		Turn();
	}

	void Feed(const std::string& bytes, std::size_t readSize) { Feed(bytes.data(), bytes.size(), readSize); }

	// Turns the loop until the connection has taken everything sent and the
	// page's records have all been acted on (a bounded number of turns),
	// reading its answers.
	void Turn()
	{
		int unread = 0;
		for (int turns = 0; turns < 1024 && Open(); ++turns)
		{
			m_handler.Select(0, 0);
			WebSocketServer::OnLoopTurn();
			Collect();
			if ((::ioctl(m_fd[0], FIONREAD, &unread) != 0 || unread == 0) && !WebSocketServer::HasWork())
				break;
		}
		// The close of a socket the handler does not own ends on the next turn.
		m_handler.Select(0, 0);
		Collect();
	}

private:
	void Collect()
	{
		char buffer[16384];
		for (;;)
		{
			const ssize_t n = ::recv(m_fd[1], buffer, sizeof buffer, MSG_DONTWAIT);
			if (n <= 0)
				return;
			if (m_answer.size() < kAnswerKept)
				m_answer.append(buffer, static_cast<std::size_t>(n));
		}
	}

	static constexpr std::size_t kAnswerKept = 1 << 16;

	SocketHandler m_handler;
	int m_fd[2] = {-1, -1};
	Connection* m_socket = nullptr;
	std::string m_answer;
};

// Runs one connection for one input, and checks that the page's slot (the
// one connected page) is free again once the connection is deleted, at the
// latest when the grace for a page whose connections are gone has passed: a
// slot left taken would lock every later page out.
template <typename Connection, typename Drive>
void RunConnection(Drive drive)
{
	{
		ConnectionRun<Connection> run;
		drive(run);
	}
	if (g_sessionActive && !PageSession::Gone(PageSession::Clock::now() + PageSession::kGrace))
		FuzzFail("the connected page's slot stayed taken after its connection was deleted");
	WebSocketServer::StopResponders();
}
