#pragma once

// Helpers for the SOCKS4 tests: a loop with a line echo to reach through the
// proxy and clients that go through it, and a real SOCKS server, Debian's
// danted, started on a loopback port with a configuration written here:
// SOCKS v4 connects from and to loopback pass, except to one blocked port.

#include "SocketTestSupport.h"

#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

// A line client that notes how many log lines stood when it connected.
class Socks4Client : public ClientSocket
{
public:
	Socks4Client(ISocketHandler& handler, const RecordingLog& log)
		: ClientSocket(handler)
		, m_log(log)
	{
		SetLineMode(true);
	}
	void OnConnect() override
	{
		++connects;
		logLinesAtConnect = m_log.entries.size();
	}
	std::size_t logLinesAtConnect = 0;

private:
	const RecordingLog& m_log;
};

struct Socks4Loop
{
	Socks4Loop()
	{
		EXPECT_EQ(0, echo.Bind(0, 20));
		handler.Add(&echo);
	}
	void UseProxy(unsigned short port, const std::string& userid = "")
	{
		EXPECT_TRUE(handler.SetSocks4Host("127.0.0.1"));
		handler.SetSocks4Port(port);
		handler.SetSocks4Userid(userid);
	}
	// Opens the client to the address (by default the echo) and adds it.
	bool Start(Socks4Client& client, unsigned short port = 0, const char* host = "127.0.0.1")
	{
		Ipv4Address to(host, port != 0 ? port : echo.GetPort());
		if (!client.Open(to))
			return false;
		handler.Add(&client);
		return true;
	}
	bool Until(const std::function<bool()>& done, double seconds = 10) { return TurnUntil(handler, done, seconds); }

	RecordingLog log;
	SocketHandler handler{&log};
	ListenSocket<LineEcho> echo{handler}; // the destination behind the proxy
};

class DantedProxy
{
public:
	explicit DantedProxy(unsigned short blockedPort)
	{
		char dir[] = "/tmp/zc-danted-XXXXXX";
		if (::mkdtemp(dir) == nullptr)
			return;
		m_dir = dir;
		// danted drops to an unprivileged user that must write its files here.
		::chmod(dir, 0777);
		port = ClosedPort();
		const std::string config = m_dir + "/danted.conf";
		std::ofstream out(config);
		out << "logoutput: " << m_dir << "/danted.log\n"
			<< "internal: 127.0.0.1 port = " << port << "\n"
			<< "external: 127.0.0.1\n"
			<< "clientmethod: none\n"
			<< "socksmethod: none\n";
		if (::geteuid() == 0)
			out << "user.privileged: nobody\nuser.unprivileged: nobody\n";
		out << "client pass {\n\tfrom: 127.0.0.1/32 to: 0.0.0.0/0\n}\n"
			<< "socks block {\n\tfrom: 0.0.0.0/0 to: 127.0.0.1/32 port = " << blockedPort << "\n}\n"
			<< "socks pass {\n\tfrom: 127.0.0.1/32 to: 127.0.0.1/32\n\tcommand: connect\n"
			<< "\tproxyprotocol: socks_v4\n}\n";
		out.close();
		const std::string pidFile = m_dir + "/danted.pid";
		m_pid = ::fork();
		if (m_pid == 0)
		{
			// A group of its own, so that its helper processes end with it.
			::setpgid(0, 0);
			::execl("/usr/sbin/danted", "danted", "-f", config.c_str(), "-p", pidFile.c_str(), "-N", "1",
				static_cast<char*>(nullptr));
			::_exit(127);
		}
		if (m_pid > 0)
			::setpgid(m_pid, m_pid);
		// Ready once it accepts connections.
		for (int i = 0; i < 100 && !running; ++i)
		{
			const int probe = ConnectLoopback(port);
			if (probe >= 0)
			{
				::close(probe);
				running = true;
			}
			else
			{
				std::this_thread::sleep_for(std::chrono::milliseconds(100));
			}
		}
	}

	~DantedProxy()
	{
		if (m_pid > 0)
		{
			::kill(-m_pid, SIGTERM);
			::waitpid(m_pid, nullptr, 0);
		}
		if (!m_dir.empty())
			std::system(("rm -rf '" + m_dir + "'").c_str());
	}

	// What danted logged, for a failing test's message.
	std::string LogText() const
	{
		std::ifstream in(m_dir + "/danted.log");
		return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
	}

	unsigned short port = 0;
	bool running = false;

private:
	std::string m_dir;
	pid_t m_pid = -1;
};
