// TcpSocket's outgoing connections: the connect itself (direct, through a
// SOCKS4 server, or by taking over a pooled connection), its completion,
// time-out and retries, and the SOCKS4 request and reply.

#include "sockets/TcpSocket.h"

#include "base/NetUtil.h"
#include "sockets/ISocketHandler.h"
#include "sockets/Ipv4Address.h"
#include "sockets/PoolSocket.h"
#include "sockets/WinsockInit.h"

#include <cstring>

namespace
{

// The SOCKS4 request is built in 1000 bytes: 8 bytes of head, the user id
// and its terminating zero.
constexpr std::size_t kSocks4RequestSize = 1000;
constexpr std::size_t kSocks4MaxUserid = kSocks4RequestSize - 9;

enum Socks4Status
{
	kSocks4Granted = 90,
	kSocks4Rejected = 91,
	kSocks4NoIdentd = 92,
	kSocks4IdentMismatch = 93,
};

} // namespace

bool TcpSocket::Open(const std::string& host, std::uint16_t port)
{
	std::uint32_t address = 0;
	if (!NetUtil::ResolveHost(host, address))
	{
		SetCloseAndDelete(true);
		return false;
	}
	Ipv4Address to(address, port);
	return Open(to, false);
}

bool TcpSocket::Open(SocketAddress& address, bool skipSocks)
{
	Ipv4Address any(std::uint16_t{0});
	return Open(address, any, skipSocks);
}

bool TcpSocket::Open(SocketAddress& to, SocketAddress& bindAddress, bool skipSocks)
{
	if (!to.IsValid())
	{
		Log("Open", 0, "Invalid SocketAddress", LOG_LEVEL_FATAL);
		SetCloseAndDelete(true);
		return false;
	}
	if (Handler().GetSocketCount() >= Handler().GetSocketLimit())
	{
		Log("Open", 0, "no space left for more sockets", LOG_LEVEL_FATAL);
		SetCloseAndDelete(true);
		return false;
	}
	const bool direct = skipSocks || m_socks4Bypass;
	m_socks4Bypass = false;
	SetConnecting(false);
	SetNegotiating(false);
	SetSocks4(false);
	// A retry after a refused SOCKS4 request comes here connected to the
	// server; the new connection is not established yet.
	SetConnected(false);
	// A new connection: both directions open.
	m_inputEnded = false;
	SetShutdown(kShutdownNone);
	if (Handler().IsPoolEnabled())
	{
		if (ISocketHandler::PoolSocket* pooled = Handler().FindPooledConnection(SOCK_STREAM, "tcp", to))
		{
			CopyConnection(pooled);
			delete pooled;
			SetIsClient();
			SetCallOnConnect(true);
			Log("SetCallOnConnect", 0, "Found pooled connection", LOG_LEVEL_INFO);
			return true;
		}
	}
	const SOCKET s = CreateSocket(to.GetFamily(), SOCK_STREAM, "tcp");
	if (s == INVALID_SOCKET)
		return false;
	if (!SetNonblocking(true, s))
	{
		SetCloseAndDelete(true);
		closesocket(s);
		return false;
	}
	SetIsClient();
	SetClientRemoteAddress(to);
	if (bindAddress.GetPort() != 0)
		winsock::bind(s, bindAddress.SockAddr(), bindAddress.SockAddrLength());
	int n;
	if (!direct && GetSocks4Host() != 0 && GetSocks4Port() != 0)
	{
		Ipv4Address proxy(GetSocks4Host(), GetSocks4Port());
		Log("Open", 0,
			"Connecting to socks4 server @ " + proxy.ToText(false) + ":" + NetUtil::LongToString(GetSocks4Port()),
			LOG_LEVEL_INFO);
		SetSocks4(true);
		n = winsock::connect(s, proxy.SockAddr(), proxy.SockAddrLength());
		SetRemoteAddress(proxy);
	}
	else
	{
		n = winsock::connect(s, to.SockAddr(), to.SockAddrLength());
		SetRemoteAddress(to);
	}
	if (n == 0)
	{
		Attach(s);
		SetCallOnConnect(true);
		return true;
	}
	const int err = WSAGetLastError();
	if (err == WSAEWOULDBLOCK)
	{
		Attach(s);
		SetConnecting(true);
		return true;
	}
	if (IsSocks4() && Handler().GetSocks4TryDirect())
	{
		closesocket(s);
		return Open(to, true);
	}
	if (ReconnectEnabled())
	{
		Log("connect: failed, reconnect pending", err, WinsockErrorText(err), LOG_LEVEL_INFO);
		Attach(s);
		SetConnecting(true);
		return true;
	}
	Log("connect: failed", err, WinsockErrorText(err), LOG_LEVEL_FATAL);
	SetCloseAndDelete(true);
	closesocket(s);
	return false;
}

bool TcpSocket::RetryAllowed() const
{
	const int limit = GetConnectionRetry();
	return limit == -1 || (limit > 0 && GetConnectionRetries() < limit);
}

void TcpSocket::GiveUpConnect()
{
	SetConnecting(false);
	SetCloseAndDelete(true);
	OnConnectFailed();
}

void TcpSocket::CompleteConnect()
{
	int err = GetSocketError();
	if (err == 0)
	{
		// A descriptor whose connect failed at once (kept for a reconnect)
		// is writable too, with no error pending: it has no peer.
		sockaddr_in peer;
		int length = sizeof(peer);
		if (winsock::getpeername(GetSocket(), reinterpret_cast<sockaddr*>(&peer), &length) == SOCKET_ERROR)
			err = WSAGetLastError();
	}
	if (err == 0)
	{
		Handler().ModifyFdSets(this, true, false);
		SetConnecting(false);
		SetCallOnConnect(true);
		return;
	}
	Log("tcp: connect failed", err, WinsockErrorText(err), LOG_LEVEL_FATAL);
	Handler().ModifyFdSets(this, false, false);
	if (IsSocks4())
		OnSocks4ConnectFailed();
	else if (!RetryAllowed())
		GiveUpConnect();
	// Otherwise the connect time-out brings the retry.
}

void TcpSocket::OnConnectTimeout()
{
	Log("connect", -1, "connect timeout", LOG_LEVEL_FATAL);
	if (IsSocks4())
	{
		OnSocks4ConnectFailed();
		return;
	}
	if (!RetryAllowed())
	{
		GiveUpConnect();
		return;
	}
	IncreaseConnectionRetries();
	if (OnConnectRetry())
		SetRetryClientConnect(true);
	else
		GiveUpConnect();
}

void TcpSocket::OnException()
{
	if (!Connecting())
		Socket::OnException();
	else if (IsSocks4())
		OnSocks4ConnectFailed();
	else if (!RetryAllowed())
		GiveUpConnect();
}

// ---- SOCKS4 ----

void TcpSocket::OnSocks4Connect()
{
	const std::string& userid = GetSocks4Userid();
	const std::size_t idLength = std::strlen(userid.c_str());
	if (idLength > kSocks4MaxUserid)
	{
		Log("OnSocks4Connect", static_cast<int>(idLength), "socks4 user id too long", LOG_LEVEL_FATAL);
		OnSocks4ConnectFailed();
		return;
	}
	char request[kSocks4RequestSize] = {};
	request[0] = 4;
	request[1] = 1;
	std::unique_ptr<SocketAddress> to = GetClientRemoteAddress();
	if (to && to->SockAddr()->sa_family == AF_INET)
	{
		const auto* in = reinterpret_cast<const sockaddr_in*>(to->SockAddr());
		std::memcpy(request + 2, &in->sin_port, 2);
		std::memcpy(request + 4, &in->sin_addr, 4);
	}
	std::memcpy(request + 8, userid.c_str(), idLength);
	// The reply starts afresh: nothing of an earlier connection counts.
	m_ibuf.Read(nullptr, m_ibuf.GetLength());
	m_socks4State = 0;
	// The request goes out ahead of anything the owner has queued. Until
	// the server grants the connection the socket counts as not connected,
	// so that what the owner sends waits in the queue instead of reaching
	// the server as part of the request.
	SetConnected(false);
	const std::size_t length = 9 + idLength;
	std::size_t sent = 0;
	while (sent < length && !CloseAndDelete())
	{
		const std::size_t r = WriteOnce(request + sent, length - sent);
		if (r == 0)
			break;
		sent += r;
	}
	if (sent < length && !CloseAndDelete())
	{
		auto rest = std::make_unique<OutputBlock>();
		rest->Add(request + sent, static_cast<std::uint32_t>(length - sent));
		m_output.push_front(std::move(rest));
		if (m_lastBlock == nullptr)
			m_lastBlock = m_output.back().get();
		m_outputLength += length - sent;
		WatchOutput();
	}
}

void TcpSocket::OnSocks4ConnectFailed()
{
	Log("OnSocks4ConnectFailed", 0, "connection to socks4 server failed, trying direct connection", LOG_LEVEL_WARNING);
	if (!Handler().GetSocks4TryDirect())
	{
		GiveUpConnect();
		return;
	}
	// As the line says: the retry connects directly.
	m_socks4Bypass = true;
	SetRetryClientConnect(true);
}

bool TcpSocket::OnSocks4Read()
{
	switch (m_socks4State)
	{
	case 0:
	case 1:
		m_ibuf.Read(m_socks4Reply + m_socks4State, 1);
		++m_socks4State;
		return false;
	case 2:
		if (m_ibuf.GetLength() < 2)
			return true;
		m_ibuf.Read(m_socks4Reply + 2, 2);
		m_socks4State = 3;
		return false;
	default:
		break;
	}
	if (m_ibuf.GetLength() < 4)
		return true;
	m_ibuf.Read(m_socks4Reply + 4, 4);
	SetSocks4(false);
	const int status = static_cast<signed char>(m_socks4Reply[1]);
	switch (status)
	{
	case kSocks4Granted:
		SetConnected(true);
		// What the owner sent meanwhile leaves first.
		if (GetOutputLength() != 0)
			FlushOutput();
		OnConnect();
		Log("OnSocks4Read", 0, "Connection established", LOG_LEVEL_INFO);
		break;
	case kSocks4Rejected:
	case kSocks4NoIdentd:
	case kSocks4IdentMismatch:
		Log("OnSocks4Read", status, "socks4 server reports connect failed", LOG_LEVEL_FATAL);
		SetConnecting(false);
		SetCloseAndDelete(true);
		OnConnectFailed();
		break;
	default:
		Log("OnSocks4Read", status, "socks4 server unrecognized response", LOG_LEVEL_FATAL);
		SetCloseAndDelete(true);
		break;
	}
	return false;
}

void TcpSocket::ReadSocks4Reply()
{
	bool waiting = false;
	while (IsSocks4() && m_ibuf.GetLength() > 0 && !CloseAndDelete() && !waiting)
		waiting = OnSocks4Read();
	if (IsSocks4() || CloseAndDelete() || m_ibuf.GetLength() == 0)
		return;
	// What the server sent behind the reply is the connection's own.
	const std::size_t n = m_ibuf.GetLength();
	std::unique_ptr<char[]> rest(new char[n + 1]);
	m_ibuf.Read(rest.get(), n);
	DeliverInput(rest.get(), n);
}
