#pragma once

#include "base/StdLog.h"
#include "platform/winsock.h"
#include "sockets/SocketAddress.h"

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>

class ISocketHandler;
class SocketThread;

// The base of every socket: one descriptor, owned by one handler that watches
// it and calls the event operations below. A socket never deletes itself: it
// raises a request (close, time-out, connect events, retry) by setting its
// own flag and telling the handler, whose passes serve it.
class Socket
{
public:
	// Why a connection ended, as OnDisconnect(reason, code) tells it; code
	// is 0 unless said otherwise. OnDisconnect() comes just before, and the
	// close follows (a connection that reconnects opens again instead).
	enum DisconnectReason : short
	{
		// The peer has sent its last byte (end of file): what is queued for
		// it still goes out before the close.
		kDisconnectEndOfInput = 0,
		// A read failed; code: the Winsock error.
		kDisconnectReadFailed = 2,
		// A send failed; code: the Winsock error.
		kDisconnectSendFailed = 3,
		// TLS close_notify from the peer: as kDisconnectEndOfInput, and ours
		// follows what is queued.
		kDisconnectCloseNotify = 4,
		// A TLS write found the connection closed (SSL_write returned 0).
		kDisconnectTlsWriteClosed = 5,
		// A TLS read failed; code: SSL_get_error's value.
		kDisconnectTlsReadFailed = 6,
		// A TLS write failed; code: SSL_get_error's value.
		kDisconnectTlsWriteFailed = 7,
	};

	explicit Socket(ISocketHandler& handler);
	virtual ~Socket();
	Socket(const Socket&) = delete;
	Socket& operator=(const Socket&) = delete;

	virtual Socket* Create();
	virtual void Init();
	virtual int Close();
	// A descriptor is held and no close is requested.
	virtual bool Ready();
	virtual std::uint16_t GetPort();
	virtual void SendBuf(const char* data, std::size_t length, int flags = 0);
	virtual void Send(const std::string& data, int flags = 0);
	virtual std::uint64_t GetBytesSent(bool clear = false);
	virtual std::uint64_t GetBytesReceived(bool clear = false);
	virtual void OnRead();
	virtual void OnWrite();
	virtual void OnException();
	virtual void OnDelete();
	virtual void OnConnect();
	virtual void OnAccept();
	virtual void OnLine(const std::string& line);
	virtual void OnConnectFailed();
	virtual void OnSocketCreated(int family, int type, int protocol, SOCKET s) = 0;
	virtual bool OnConnectRetry();
	virtual void OnReconnect();
	// reason: a DisconnectReason.
	virtual void OnDisconnect(short reason, int code);
	virtual void OnDisconnect();
	virtual void OnTimeout();
	virtual void OnConnectTimeout();
	virtual void OnSSLNegotiateTimeout();
	virtual void OnSSLConnect();
	virtual void OnSSLAccept();
	virtual void OnSSLConnectFailed();
	virtual void OnSSLAcceptFailed();
	virtual bool SSLNegotiate();
	virtual SSL_CTX* GetSslContext();
	virtual SSL* GetSsl();
	virtual void OnSocks4Connect();
	virtual void OnSocks4ConnectFailed();
	virtual bool OnSocks4Read();
	virtual void OnDetached();

	SOCKET GetSocket() const { return m_socket; }
	void Attach(SOCKET s) { m_socket = s; }
	// Makes a descriptor and returns it without keeping it: it is attached
	// only while OnSocketCreated runs. Throws Exception on failure.
	SOCKET CreateSocket(int family, int type, const std::string& protocol);
	bool SetNonblocking(bool on);
	bool SetNonblocking(bool on, SOCKET s);

	void SetOwnedByHandler(bool on) { m_ownedByHandler = on; }
	bool IsOwnedByHandler() const { return m_ownedByHandler; }
	void SetCloseAndDelete(bool on);
	bool CloseAndDelete() const { return m_closeAndDelete; }
	std::int64_t TimeSinceClose() const;
	void SetConnected(bool on) { m_connected = on; }
	bool IsConnected() const { return m_connected; }
	void SetErasedByHandler() { m_erasedByHandler = true; }
	bool ErasedByHandler() const { return m_erasedByHandler; }
	// Set while a handler holds the socket (queued, registered or
	// rejected). Only then does its destruction reach the handler: one that
	// has let go of it, or never had it, may be gone by then.
	void SetHeldByHandler(bool on) { m_heldByHandler = on; }
	bool HeldByHandler() const { return m_heldByHandler; }

	// The controlling handler: the detached one while the socket runs in a
	// thread of its own.
	ISocketHandler& Handler() const;

	void SetRemoteAddress(const SocketAddress& address);
	std::unique_ptr<SocketAddress> GetRemoteAddress() const;
	void SetClientRemoteAddress(const SocketAddress& address);
	std::unique_ptr<SocketAddress> GetClientRemoteAddress();

	void SetConnectionLost() { m_connectionLost = true; }
	bool ConnectionLost() const { return m_connectionLost; }
	int Uid() const { return m_uid; }
	void SetCallOnConnect(bool on);
	bool IsCallOnConnect() const { return m_callOnConnect; }
	void SetRetryClientConnect(bool on);
	bool IsRetryClientConnect() const { return m_retryClientConnect; }

	void EnableSSL(bool on = true) { m_enableSsl = on; }
	bool IsSSL() const { return m_enableSsl; }
	void SetSSLNegotiating(bool on) { m_sslNegotiating = on; }
	bool IsSSLNegotiating() const { return m_sslNegotiating; }
	void SetSSLServer(bool on) { m_sslServer = on; }
	bool IsSSLServer() const { return m_sslServer; }

	void SetSocketType(int type) { m_socketType = type; }
	int GetSocketType() const { return m_socketType; }
	void SetSocketProtocol(const std::string& protocol) { m_socketProtocol = protocol; }
	const std::string& GetSocketProtocol() const { return m_socketProtocol; }
	void SetIsClient() { m_isClient = true; }
	bool IsClient() const { return m_isClient; }
	// Only a client connection can be kept for reuse.
	void SetRetainForPool();
	bool RetainForPool() const { return m_retainForPool; }

	void SetSocks4(bool on = true) { m_socks4 = on; }
	bool IsSocks4() const { return m_socks4; }
	std::uint32_t GetSocks4Host() const { return m_socks4Host; }
	std::uint16_t GetSocks4Port() const { return m_socks4Port; }
	const std::string& GetSocks4Userid() const { return m_socks4Userid; }

	// Asks to run in a thread of its own, from the handler's next turn on;
	// false for a socket that its handler does not own.
	bool Detach();
	bool DetachRequested() const { return m_detachRequested; }
	void SetDetached(bool on = true) { m_detached = on; }
	bool IsDetached() const { return m_detached; }
	void SetDetachedHandler(ISocketHandler& handler) { m_detachedHandler = &handler; }
	void DetachToThread();

	// Takes over another socket's descriptor, type, protocol and addresses.
	void CopyConnection(Socket* source);

	// Seconds; 0 disarms.
	void SetTimeout(std::int64_t seconds);
	bool HasTimeout() const { return m_timeoutStart > 0 && m_timeoutLimit > 0; }
	bool TimeoutExpired(std::int64_t now) const;

	bool SetReuseAddress(bool on);
	bool SetKeepAlive(bool on);
	// TCP_NODELAY: each write leaves at once instead of waiting for the
	// acknowledgement of the one before.
	bool SetTcpNodelay(bool on);
	// The pending error (SO_ERROR) as a Winsock code.
	int GetSocketError();
	// The local port in host order; 0 when there is none.
	std::uint16_t GetSockPort();

protected:
	// Reports through the controlling handler's log.
	void Log(const std::string& call, int code, const std::string& text, LogLevel level);
	// Reports a failed Winsock call with the current error and its text.
	void LogWinsockError(const std::string& call, LogLevel level);

private:
	int CloseDescriptor();
	bool SetBoolOption(int level, int option, bool on, const char* call);

	ISocketHandler& m_handler;
	SOCKET m_socket = INVALID_SOCKET;
	bool m_ownedByHandler = false;
	bool m_closeAndDelete = false;
	bool m_connected = false;
	bool m_erasedByHandler = false;
	bool m_heldByHandler = false;
	std::int64_t m_closeTime = 0;
	std::unique_ptr<SocketAddress> m_clientRemoteAddress;
	std::unique_ptr<SocketAddress> m_remoteAddress;
	std::int64_t m_timeoutStart = 0;
	std::int64_t m_timeoutLimit = 0;
	bool m_connectionLost = false;
	int m_uid;
	bool m_callOnConnect = false;
	bool m_retryClientConnect = false;
	bool m_enableSsl = false;
	bool m_sslNegotiating = false;
	bool m_sslServer = false;
	int m_socketType = 0;
	std::string m_socketProtocol;
	bool m_isClient = false;
	bool m_retainForPool = false;
	bool m_socks4 = false;
	std::uint32_t m_socks4Host;
	std::uint16_t m_socks4Port;
	std::string m_socks4Userid;
	bool m_detachRequested = false;
	bool m_detached = false;
	SocketThread* m_detachThread = nullptr;
	ISocketHandler* m_detachedHandler = nullptr;
};
