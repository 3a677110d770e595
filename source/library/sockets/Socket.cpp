#include "sockets/Socket.h"

#include "base/Exception.h"
#include "sockets/ISocketHandler.h"
#include "sockets/SocketThread.h"
#include "sockets/WinsockInit.h"

#include <atomic>
#include <cstring>
#include <ctime>

namespace
{

// Process-wide, so uids grow with the order of construction.
std::atomic<int> g_nextUid{0};

std::int64_t Now()
{
	return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

Socket::Socket(ISocketHandler& handler)
	: m_handler(handler)
	, m_uid(++g_nextUid)
	, m_socks4Host(handler.GetSocks4Host())
	, m_socks4Port(handler.GetSocks4Port())
	, m_socks4Userid(handler.GetSocks4Userid())
{
}

Socket::~Socket()
{
	// A handler that has let go of the socket, or never held it, is not
	// asked: it may be gone.
	if (!m_erasedByHandler && m_heldByHandler)
		Handler().Remove(this);
	if (m_socket != INVALID_SOCKET && !m_retainForPool)
	{
		// Not watched by any handler: just the descriptor.
		if ((m_erasedByHandler && !m_ownedByHandler) || !m_heldByHandler)
			CloseDescriptor();
		else
			Socket::Close(); // the derived parts are gone: never an override
	}
}

Socket* Socket::Create()
{
	return nullptr;
}

void Socket::Init()
{
}

int Socket::Close()
{
	if (m_socket == INVALID_SOCKET)
	{
		Log("Socket::Close", 0, "file descriptor invalid", LOG_LEVEL_WARNING);
		return 0;
	}
	if (m_heldByHandler)
		Handler().RemoveFromFdSets(this);
	return CloseDescriptor();
}

int Socket::CloseDescriptor()
{
	const int n = closesocket(m_socket);
	if (n == SOCKET_ERROR)
		LogWinsockError("close", LOG_LEVEL_ERROR);
	// Forgotten even when close failed: the number is free again either way.
	m_socket = INVALID_SOCKET;
	return n;
}

bool Socket::Ready()
{
	return m_socket != INVALID_SOCKET && !m_closeAndDelete;
}

std::uint16_t Socket::GetPort()
{
	Log("GetPort", 0, "GetPort only implemented for ListenSocket", LOG_LEVEL_WARNING);
	return 0;
}

void Socket::SendBuf(const char*, std::size_t, int)
{
}

void Socket::Send(const std::string&, int)
{
}

std::uint64_t Socket::GetBytesSent(bool)
{
	return 0;
}

std::uint64_t Socket::GetBytesReceived(bool)
{
	return 0;
}

void Socket::OnRead()
{
}

void Socket::OnWrite()
{
}

void Socket::OnException()
{
	const int err = GetSocketError();
	Log("exception on select", err, WinsockErrorText(err), LOG_LEVEL_FATAL);
	SetCloseAndDelete(true);
}

void Socket::OnDelete()
{
}

void Socket::OnConnect()
{
}

void Socket::OnAccept()
{
}

void Socket::OnLine(const std::string&)
{
}

void Socket::OnConnectFailed()
{
}

bool Socket::OnConnectRetry()
{
	return true;
}

void Socket::OnReconnect()
{
}

void Socket::OnDisconnect(short, int)
{
}

void Socket::OnDisconnect()
{
}

void Socket::OnTimeout()
{
}

void Socket::OnConnectTimeout()
{
}

void Socket::OnSSLNegotiateTimeout()
{
}

void Socket::OnSSLConnect()
{
}

void Socket::OnSSLAccept()
{
}

void Socket::OnSSLConnectFailed()
{
}

void Socket::OnSSLAcceptFailed()
{
}

bool Socket::SSLNegotiate()
{
	return false;
}

SSL_CTX* Socket::GetSslContext()
{
	return nullptr;
}

SSL* Socket::GetSsl()
{
	return nullptr;
}

void Socket::OnSocks4Connect()
{
	Log("OnSocks4Connect", 0, "Use with TcpSocket only", LOG_LEVEL_WARNING);
}

void Socket::OnSocks4ConnectFailed()
{
	Log("OnSocks4ConnectFailed", 0, "Use with TcpSocket only", LOG_LEVEL_WARNING);
}

bool Socket::OnSocks4Read()
{
	Log("OnSocks4Read", 0, "Use with TcpSocket only", LOG_LEVEL_WARNING);
	return true;
}

void Socket::OnDetached()
{
}

SOCKET Socket::CreateSocket(int family, int type, const std::string& protocol)
{
	m_socketType = type;
	m_socketProtocol = protocol;
	int protocolNumber = 0;
	if (!protocol.empty())
	{
		const protoent* entry = winsock::getprotobyname(protocol.c_str());
		if (entry == nullptr)
		{
			const std::string text = WinsockErrorText(WSAGetLastError());
			LogWinsockError("getprotobyname", LOG_LEVEL_FATAL);
			SetCloseAndDelete(true);
			throw Exception("getprotobyname() failed: " + text);
		}
		protocolNumber = entry->p_proto;
	}
	const SOCKET s = winsock::socket(family, type, protocolNumber);
	if (s == INVALID_SOCKET)
	{
		const std::string text = WinsockErrorText(WSAGetLastError());
		LogWinsockError("socket", LOG_LEVEL_FATAL);
		SetCloseAndDelete(true);
		throw Exception("socket() failed: " + text);
	}
	Attach(s);
	OnSocketCreated(family, type, protocolNumber, s);
	Attach(INVALID_SOCKET);
	return s;
}

bool Socket::SetNonblocking(bool on)
{
	return SetNonblocking(on, m_socket);
}

bool Socket::SetNonblocking(bool on, SOCKET s)
{
	u_long value = on ? 1 : 0;
	if (ioctlsocket(s, FIONBIO, &value) != 0)
	{
		Log("ioctlsocket(FIONBIO)", WSAGetLastError(), "", LOG_LEVEL_WARNING);
		return false;
	}
	return true;
}

void Socket::SetCloseAndDelete(bool on)
{
	if (on == m_closeAndDelete)
		return;
	m_closeAndDelete = on;
	if (on)
	{
		m_closeTime = Now();
		Handler().SetClosePending(true);
	}
}

std::int64_t Socket::TimeSinceClose() const
{
	return Now() - m_closeTime;
}

ISocketHandler& Socket::Handler() const
{
	if (m_detached && m_detachedHandler != nullptr)
		return *m_detachedHandler;
	return m_handler;
}

void Socket::SetRemoteAddress(const SocketAddress& address)
{
	m_remoteAddress = address.Clone();
}

std::unique_ptr<SocketAddress> Socket::GetRemoteAddress() const
{
	return m_remoteAddress ? m_remoteAddress->Clone() : nullptr;
}

void Socket::SetClientRemoteAddress(const SocketAddress& address)
{
	if (!address.IsValid())
		Log("SetClientRemoteAddress", 0, "remote address not valid", LOG_LEVEL_ERROR);
	m_clientRemoteAddress = address.Clone();
}

std::unique_ptr<SocketAddress> Socket::GetClientRemoteAddress()
{
	if (!m_clientRemoteAddress)
	{
		Log("GetClientRemoteAddress", 0, "remote address not yet set", LOG_LEVEL_ERROR);
		return nullptr;
	}
	return m_clientRemoteAddress->Clone();
}

void Socket::SetCallOnConnect(bool on)
{
	m_callOnConnect = on;
	if (on)
		Handler().SetCallOnConnectPending(true);
}

void Socket::SetRetryClientConnect(bool on)
{
	m_retryClientConnect = on;
	if (on)
		Handler().SetRetryPending(true);
}

void Socket::SetRetainForPool()
{
	if (m_isClient)
		m_retainForPool = true;
}

bool Socket::Detach()
{
	// Only a socket its handler owns: the thread's handler deletes it.
	if (!m_ownedByHandler || m_detached || m_detachRequested)
		return false;
	m_detachRequested = true;
	Handler().SetDetachPending(true);
	return true;
}

void Socket::DetachToThread()
{
	SetDetached(true);
	m_detachThread = new SocketThread(this);
	m_detachThread->Start();
}

void Socket::CopyConnection(Socket* source)
{
	Attach(source->GetSocket());
	SetSocketType(source->GetSocketType());
	SetSocketProtocol(source->GetSocketProtocol());
	if (source->m_clientRemoteAddress)
		SetClientRemoteAddress(*source->m_clientRemoteAddress);
	if (source->m_remoteAddress)
		SetRemoteAddress(*source->m_remoteAddress);
}

void Socket::SetTimeout(std::int64_t seconds)
{
	if (seconds == 0)
	{
		m_timeoutStart = 0;
		m_timeoutLimit = 0;
		return;
	}
	m_timeoutStart = Now();
	m_timeoutLimit = seconds;
	Handler().SetTimeoutPending(true);
}

bool Socket::TimeoutExpired(std::int64_t now) const
{
	return m_timeoutStart > 0 && now - m_timeoutStart > m_timeoutLimit;
}

bool Socket::SetBoolOption(int level, int option, bool on, const char* call)
{
	const int value = on ? 1 : 0;
	if (winsock::setsockopt(m_socket, level, option, reinterpret_cast<const char*>(&value), sizeof(value)) ==
		SOCKET_ERROR)
	{
		LogWinsockError(call, LOG_LEVEL_FATAL);
		return false;
	}
	return true;
}

bool Socket::SetReuseAddress(bool on)
{
	return SetBoolOption(SOL_SOCKET, SO_REUSEADDR, on, "setsockopt(SOL_SOCKET, SO_REUSEADDR)");
}

bool Socket::SetKeepAlive(bool on)
{
	return SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, on, "setsockopt(SOL_SOCKET, SO_KEEPALIVE)");
}

bool Socket::SetTcpNodelay(bool on)
{
	return SetBoolOption(IPPROTO_TCP, TCP_NODELAY, on, "setsockopt(IPPROTO_TCP, TCP_NODELAY)");
}

int Socket::GetSocketError()
{
	int value = 0;
	int length = sizeof(value);
	if (winsock::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) == SOCKET_ERROR)
	{
		LogWinsockError("getsockopt(SOL_SOCKET, SO_ERROR)", LOG_LEVEL_FATAL);
		return 0;
	}
	return value;
}

std::uint16_t Socket::GetSockPort()
{
	sockaddr_in address;
	int length = sizeof(address);
	if (winsock::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR)
		return 0;
	return ntohs(address.sin_port);
}

void Socket::Log(const std::string& call, int code, const std::string& text, LogLevel level)
{
	Handler().Log(this, call, code, text, level);
}

void Socket::LogWinsockError(const std::string& call, LogLevel level)
{
	const int err = WSAGetLastError();
	Log(call, err, WinsockErrorText(err), level);
}

int SocketDescriptorForLog(const Socket& socket)
{
	return socket.GetSocket();
}
