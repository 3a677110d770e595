#pragma once

// The polling transport on a loopback port, served by the agent's kind of
// loop on a thread of its own, with connections that echo every event
// through the message store; and a raw HTTP client to play the page.
// The polling benchmark uses it too: no test framework here.

#include "agent/AgentState.h"
#include "agent/MessageStore.h"
#include "agent/WebSocketServer.h"
#include "base/MutexLock.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class EchoSocket : public WebSocketServer
{
public:
	explicit EchoSocket(ISocketHandler& handler) : WebSocketServer(handler) { s_live.insert(this); }
	~EchoSocket() override { s_live.erase(this); }

	void OnResponseSent() override {}
	void OnSessionConnected() override { ++connects; }
	void OnMessage(std::string message) override
	{
		++messages;
		if (GetTransport() == TransportWebSocket)
			SendToClient(message);
		else
			g_messageStore.Push(GetSid(), message);
	}

	// The live connection of the client on that local port; null when none.
	// Loop thread only.
	static EchoSocket* OfClientPort(int port)
	{
		for (EchoSocket* socket : s_live)
		{
			const std::unique_ptr<SocketAddress> peer = socket->GetRemoteAddress();
			if (peer && peer->GetPort() == port)
				return socket;
		}
		return nullptr;
	}

	static inline std::atomic<int> connects{ 0 };
	static inline std::atomic<int> messages{ 0 };

private:
	static inline std::set<EchoSocket*> s_live;
};

// Serves connections of the class (an EchoSocket or one made from it).
template <typename Connection>
class BasicPollingServer
{
public:
	BasicPollingServer()
	{
		std::promise<int> port;
		auto ready = port.get_future();
		m_thread = std::thread([this, &port] { Run(port); });
		m_port = ready.get();
	}

	~BasicPollingServer()
	{
		m_stop = true;
		Wake();
		m_thread.join();
		g_sessionStates.clear();
	}

	int Port() const { return m_port; }

	// Runs the task on the loop thread between two turns and returns its result.
	template <typename Task>
	auto OnLoop(Task task) -> decltype(task())
	{
		using Result = decltype(task());
		std::packaged_task<Result()> packaged(task);
		auto result = packaged.get_future();
		{
			std::lock_guard<std::mutex> lock(m_tasksMutex);
			m_tasks.push_back([&packaged] { packaged(); });
		}
		Wake();
		return result.get();
	}

	std::size_t Polls() { return OnLoop([] { return WebSocketServer::PollRecordCount(); }); }

	// Sessions and message queues the process holds.
	std::size_t TableEntries()
	{
		return OnLoop([] {
			MutexLock lock(g_messageStoreMutex);
			return g_sessionStates.size() + g_messageQueues.size();
		});
	}

private:
	void Wake()
	{
		std::lock_guard<std::mutex> lock(m_handlerMutex);
		if (m_handler != nullptr)
			m_handler->Wakeup();
	}

	void Run(std::promise<int>& port)
	{
		SocketHandler handler;
		handler.CreateWakeupSocket();
		ListenSocket<Connection> listener(handler);
		Ipv4Address loopback("127.0.0.1", 0);
		listener.Bind(loopback, 20);
		handler.Add(&listener);
		{
			std::lock_guard<std::mutex> lock(m_handlerMutex);
			m_handler = &handler;
		}
		port.set_value(listener.GetPort());
		while (!m_stop)
		{
			handler.Select(WebSocketServer::HasWork() ? 0 : 1, 0);
			WebSocketServer::OnLoopTurn();
			std::deque<std::function<void()>> tasks;
			{
				std::lock_guard<std::mutex> lock(m_tasksMutex);
				tasks.swap(m_tasks);
			}
			for (auto& task : tasks)
				task();
		}
		WebSocketServer::StopResponders();
		std::lock_guard<std::mutex> lock(m_handlerMutex);
		m_handler = nullptr;
	}

	std::thread m_thread;
	int m_port = 0;
	std::atomic<bool> m_stop{ false };
	std::mutex m_handlerMutex;
	ISocketHandler* m_handler = nullptr;
	std::mutex m_tasksMutex;
	std::deque<std::function<void()>> m_tasks;
};

using PollingServer = BasicPollingServer<EchoSocket>;

struct HttpResponse
{
	std::string head;
	std::string body;
	bool complete = false;

	// The value of a header, "" when absent.
	std::string Header(const std::string& name) const
	{
		const std::string key = "\r\n" + name + ": ";
		const std::size_t at = head.find(key);
		if (at == std::string::npos)
			return std::string();
		const std::size_t start = at + key.size();
		return head.substr(start, head.find("\r\n", start) - start);
	}
};

// One loopback connection of the page.
class PageConnection
{
public:
	// With receiveBuffer, the system keeps at most about so many bytes the
	// page has not read. With tls, the page speaks TLS (the certificate is
	// not checked).
	explicit PageConnection(int port, int receiveBuffer = 0, bool tls = false)
		: m_fd(::socket(AF_INET, SOCK_STREAM, 0))
	{
		if (receiveBuffer > 0)
			::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_port = htons(static_cast<std::uint16_t>(port));
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
			Close();
		if (tls && m_fd >= 0)
			StartTls();
	}
	~PageConnection() { Close(); }
	PageConnection(const PageConnection&) = delete;
	PageConnection& operator=(const PageConnection&) = delete;

	void Close()
	{
		m_ssl.reset();
		if (m_fd >= 0)
			::close(m_fd);
		m_fd = -1;
	}

	// Drops the connection with a reset, whatever the system holds unread.
	void Reset()
	{
		const linger now{ 1, 0 };
		if (m_fd >= 0)
			::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
		Close();
	}

	void Send(const std::string& text)
	{
		std::size_t sent = 0;
		while (m_fd >= 0 && sent < text.size())
		{
			const ssize_t n = m_ssl ? SSL_write(m_ssl.get(), text.data() + sent, static_cast<int>(text.size() - sent))
								   : ::send(m_fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
			if (n <= 0)
				return;
			sent += static_cast<std::size_t>(n);
		}
	}

	void Get(const std::string& query, const std::string& path = "/tessark.io/")
	{
		Send("GET " + path + "?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n");
	}

	void Post(const std::string& query, const std::string& body)
	{
		Send("POST /tessark.io/?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain;charset=UTF-8\r\n"
			"Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
	}

	// Reads one response (head, and a body of its Content-Length); gives up
	// after the time. With pauseMs, the page reads at most 4 KiB at a time
	// and pauses between the reads.
	HttpResponse Read(int timeoutMs = 10000, int pauseMs = 0)
	{
		HttpResponse response;
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
		const std::size_t step = pauseMs > 0 ? 4096 : 65536;
		std::size_t headEnd;
		while ((headEnd = m_input.find("\r\n\r\n")) == std::string::npos)
			if (!Fill(deadline, step))
				return response;
		response.head = m_input.substr(0, headEnd + 4);
		const std::string length = response.Header("Content-Length");
		const std::size_t bodyLength = length.empty() ? 0 : std::stoul(length);
		while (m_input.size() < headEnd + 4 + bodyLength)
		{
			if (pauseMs > 0)
				std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
			if (!Fill(deadline, step))
				return response;
		}
		response.body = m_input.substr(headEnd + 4, bodyLength);
		m_input.erase(0, headEnd + 4 + bodyLength);
		response.complete = true;
		return response;
	}

	// Nothing more arrives within the time, and the connection stays open.
	bool Silent(int ms)
	{
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
		const std::size_t before = m_input.size();
		return !Fill(deadline) && m_input.size() == before && !m_closed;
	}

	// The peer closed: read to the end.
	bool ClosedByPeer(int timeoutMs = 10000)
	{
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
		while (!m_closed && Fill(deadline))
		{
		}
		return m_closed;
	}

	const std::string& Pending() const { return m_input; }

	// The connection's own port.
	int LocalPort() const
	{
		sockaddr_in local{};
		socklen_t length = sizeof local;
		return ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 ? ntohs(local.sin_port) : 0;
	}

private:
	struct FreeSsl
	{
		void operator()(SSL* ssl) const { SSL_free(ssl); }
	};

	void StartTls()
	{
		// A write to an agent that has gone must fail, not end the tests.
		::signal(SIGPIPE, SIG_IGN);
		const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
		m_ssl.reset(context ? SSL_new(context.get()) : nullptr);
		if (!m_ssl || SSL_set_fd(m_ssl.get(), m_fd) != 1 || SSL_connect(m_ssl.get()) != 1)
			Close();
	}

	// Reads what has come, at most step bytes; false when nothing came by
	// the deadline or the connection ended.
	bool Fill(std::chrono::steady_clock::time_point deadline, std::size_t step = 65536)
	{
		char buffer[65536];
		step = std::min(step, sizeof buffer);
		while (m_fd >= 0 && !m_closed)
		{
			// What TLS has decrypted already is not seen by poll().
			if (!m_ssl || SSL_pending(m_ssl.get()) == 0)
			{
				const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
					deadline - std::chrono::steady_clock::now()).count();
				pollfd p{ m_fd, POLLIN, 0 };
				if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
					return false;
			}
			const int n = m_ssl ? SSL_read(m_ssl.get(), buffer, static_cast<int>(step))
								: static_cast<int>(::recv(m_fd, buffer, step, 0));
			if (n > 0)
			{
				m_input.append(buffer, static_cast<std::size_t>(n));
				return true;
			}
			// Part of a TLS record, or a record without data.
			if (!m_ssl || SSL_get_error(m_ssl.get(), n) != SSL_ERROR_WANT_READ)
				m_closed = true;
		}
		return false;
	}

	int m_fd = -1;
	std::unique_ptr<SSL, FreeSsl> m_ssl;
	bool m_closed = false;
	std::string m_input;
};

// The session id of an open answer, plain or framed for JSONP; "" when none.
inline std::string SidOf(const HttpResponse& open)
{
	static const std::regex sid("sid\\\\?\":\\\\?\"([A-Za-z0-9+/]{20})");
	std::smatch match;
	return std::regex_search(open.body, match, sid) ? match[1].str() : std::string();
}

// A session id as the page puts it in a query.
inline std::string Encoded(const std::string& sid)
{
	std::string out;
	for (const char c : sid)
		out += c == '+' ? "%2B" : c == '/' ? "%2F" : std::string(1, c);
	return out;
}

// Opens and connects a session on the connection; its id, or "" when the
// open or the connect is refused.
inline std::string OpenAndConnect(PageConnection& page, const std::string& query = "EIO=3&transport=polling")
{
	page.Get(query);
	const std::string sid = SidOf(page.Read());
	if (sid.empty())
		return sid;
	page.Get(query + "&sid=" + Encoded(sid));
	const std::string connected = page.Read().body;
	return connected == "2:40" || connected == "___eio[0](\"2:40\");" ? sid : std::string();
}

// A connected page of the server, its poll query, and a second connection
// for POSTs; with tls, the page speaks TLS, as the server's connections must.
template <typename Server>
struct BasicConnectedPage
{
	explicit BasicConnectedPage(const std::string& base = "EIO=3&transport=polling", bool tls = false)
		: page(server.Port(), 0, tls), sid(OpenAndConnect(page, base)), query(base + "&sid=" + Encoded(sid)),
		  poster(server.Port(), 0, tls)
	{
	}

	Server server;
	PageConnection page;
	std::string sid;
	std::string query;
	PageConnection poster;
};

using ConnectedPage = BasicConnectedPage<PollingServer>;

// The "42" records of a poll answer, in order: records "<length>:<packet>",
// the length counting the characters of the UTF-8 body.
inline std::vector<std::string> EventRecords(const std::string& payload)
{
	std::vector<std::string> out;
	for (std::size_t at = 0; at < payload.size();)
	{
		const std::size_t colon = payload.find(':', at);
		if (colon == std::string::npos)
			break;
		const std::size_t length = std::stoul(payload.substr(at, colon - at));
		at = colon + 1;
		const std::size_t start = at;
		for (std::size_t characters = 0;
			 at < payload.size() && (characters < length || (payload[at] & 0xc0) == 0x80); ++at)
			if ((payload[at] & 0xc0) != 0x80)
				++characters;
		if (payload.compare(start, 2, "42") == 0)
			out.push_back(payload.substr(start, at - start));
	}
	return out;
}

// Waits up to the time for the condition; its last value.
template <typename Condition>
bool WaitUntil(Condition condition, int timeoutMs = 5000)
{
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
	while (!condition() && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	return condition();
}

inline long ElapsedMs(std::chrono::steady_clock::time_point since)
{
	return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
		std::chrono::steady_clock::now() - since).count());
}
