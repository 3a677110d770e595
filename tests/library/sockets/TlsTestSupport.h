#pragma once

// Helpers for the TLS tests: a TLS server connection and a TLS client
// connection on the framework, the settings they read and the events they
// record, and a loop on this thread for in-process pairs and outside peers
// (openssl s_client, Python).

#include "SocketTestSupport.h"

#include "sockets/SocketHandler.h"
#include "support/Shell.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <future>
#include <memory>

inline std::string TlsFixture(const std::string& name)
{
	return std::string(ZC_TEST_DATA_DIR) + "/tls/" + name;
}

// What every TLS connection of a test reads. Reset at the start of a test.
struct TlsSettings
{
	std::string context = "tests";
	std::string file = TlsFixture("local.pem");
	std::string password = "61937";
	int negotiateTimeout = 30;
	int serverSendBuffer = 0; // SO_SNDBUF of accepted sockets; 0 leaves it
	std::string greeting = "hello"; // the client's first line
};

// What the connections report; touched only by the thread running the loop.
struct TlsEvents
{
	int accepts = 0, acceptFailed = 0, serverConnectFailed = 0, serversDestroyed = 0;
	int connects = 0, reconnects = 0, clientConnectFailed = 0, clientsDestroyed = 0;
	std::vector<std::string> serverLines, clientLines;
	std::vector<int> clientDisconnects; // reason * 100000 + code
	std::vector<SSL_CTX*> serverContexts;
};

inline TlsSettings g_tls;
inline TlsEvents g_events;

inline void ResetTls()
{
	g_tls = TlsSettings();
	g_events = TlsEvents();
}

// n bytes of a pattern that Python can rebuild: byte i is i % 251.
inline std::string Pattern(std::size_t n)
{
	std::string s(n, '\0');
	for (std::size_t i = 0; i < n; ++i)
		s[i] = static_cast<char>(i % 251);
	return s;
}

// Accepted with TLS on. "big <n>" is answered with n pattern bytes, sent in
// 64 KiB pieces, and a close; "bye" with "bye" and a close; "stale" leaves an
// error in OpenSSL's queue and is not answered; any other line is echoed as
// "echo:<line>".
class TlsServerSocket : public TcpSocket
{
public:
	explicit TlsServerSocket(ISocketHandler& handler)
		: TcpSocket(handler)
	{
		SetLineMode(true);
		m_negotiateTimeout = g_tls.negotiateTimeout;
	}
	~TlsServerSocket() override { ++g_events.serversDestroyed; }

	void Init() override
	{
		EnableSSL(true);
		if (g_tls.serverSendBuffer > 0)
			::setsockopt(GetSocket(), SOL_SOCKET, SO_SNDBUF, &g_tls.serverSendBuffer, sizeof(int));
	}
	void InitSSLServer() override { Load(g_tls.context, g_tls.file, g_tls.password); }
	void Load(const std::string& context, const std::string& file, const std::string& password)
	{
		InitializeContext(context, file, password, TLS_server_method());
	}
	void OnAccept() override
	{
		++g_events.accepts;
		g_events.serverContexts.push_back(GetSslContext());
	}
	void OnSSLAcceptFailed() override { ++g_events.acceptFailed; }
	void OnSSLConnectFailed() override { ++g_events.serverConnectFailed; }
	void OnLine(const std::string& line) override
	{
		g_events.serverLines.push_back(line);
		if (line.rfind("big ", 0) == 0)
		{
			const std::string data = Pattern(std::stoul(line.substr(4)));
			for (std::size_t at = 0; at < data.size(); at += 65536)
				SendBuf(data.data() + at, std::min<std::size_t>(65536, data.size() - at));
			SetCloseAndDelete(true);
		}
		else if (line == "stale")
			ERR_raise(ERR_LIB_USER, 1); // what other code on the loop's thread may leave behind
		else if (line == "bye")
		{
			Send("bye\n");
			SetCloseAndDelete(true);
		}
		else
			Send("echo:" + line + "\n");
	}
};

// The client side: sends the greeting once the handshake stands, records the
// lines it gets and closes after "bye".
class TlsClientSocket : public TcpSocket
{
public:
	explicit TlsClientSocket(ISocketHandler& handler)
		: TcpSocket(handler)
	{
		SetLineMode(true);
		m_negotiateTimeout = g_tls.negotiateTimeout;
	}
	~TlsClientSocket() override { ++g_events.clientsDestroyed; }

	void OnConnect() override
	{
		++g_events.connects;
		if (!g_tls.greeting.empty())
			Send(g_tls.greeting + "\n");
	}
	void OnReconnect() override { ++g_events.reconnects; }
	void OnSSLConnectFailed() override { ++g_events.clientConnectFailed; }
	using TcpSocket::SetReconnectEnabled;
	void OnDisconnect(short reason, int code) override { g_events.clientDisconnects.push_back(reason * 100000 + code); }
	void OnLine(const std::string& line) override
	{
		g_events.clientLines.push_back(line);
		if (line == "bye")
			SetCloseAndDelete(true);
	}
};

// A blocking connect to 127.0.0.1:port handed to a TLS client socket the way
// a finished connect is: the handler's connect pass starts the handshake.
inline TlsClientSocket* StartClient(SocketHandler& handler, unsigned short port, int receiveBuffer = 0)
{
	const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
	if (receiveBuffer > 0)
		::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
	const sockaddr_in a = LoopbackAddress(port);
	EXPECT_EQ(0, ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)));
	auto* client = new TlsClientSocket(handler);
	client->Attach(fd);
	client->SetNonblocking(true);
	client->SetIsClient();
	client->SetOwnedByHandler(true);
	client->EnableSSL(true);
	client->SetCallOnConnect(true);
	handler.Add(client);
	return client;
}

// A TLS listener on this thread's loop, clients of it, and outside peers.
struct TlsLoop
{
	TlsClientSocket* Client(int receiveBuffer = 0) { return StartClient(handler, port, receiveBuffer); }
	// A client whose handshake with the listener's connection has finished.
	TlsClientSocket* EstablishedClient()
	{
		const int accepts = g_events.accepts + 1, connects = g_events.connects + 1;
		TlsClientSocket* client = Client();
		EXPECT_TRUE(Until([&] { return g_events.accepts == accepts && g_events.connects == connects; }));
		return client;
	}
	bool Until(const std::function<bool()>& done, double seconds = 20) { return TurnUntil(handler, done, seconds); }
	// What an outside peer's command printed; the loop turns while it runs
	// and then until the server's connections have finished closing.
	std::string Peer(const std::string& command)
	{
		auto out = std::async(std::launch::async, Shell, command);
		Until([&] { return out.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 120);
		Until([&] { return handler.GetSocketCount() <= 1; }, 10);
		return out.get();
	}

	RecordingLog log;
	SocketHandler handler{&log};
	std::unique_ptr<ListenSocket<TlsServerSocket>> listener = LoopbackListener<TlsServerSocket>(handler);
	unsigned short port = listener->GetPort();
};
