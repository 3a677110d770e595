#pragma once

#include "base/Exception.h"
#include "base/MutexLock.h"
#include "base/NetUtil.h"
#include "sockets/ISocketHandler.h"
#include "sockets/Ipv4Address.h"
#include "sockets/Socket.h"
#include "sockets/WinsockInit.h"

#include <cstring>
#include <memory>
#include <string>

// Listens on a TCP port and turns each incoming connection into a new socket
// of class X, owned by the handler. The listener itself belongs to the code
// that made it.
template <class X>
class ListenSocket : public Socket
{
public:
	// The most connections one readable event accepts; the rest wait in the
	// backlog while the handler serves its other sockets.
	static constexpr int kAcceptsPerRead = 10;
	// How long the listener rests when the process runs out of descriptors
	// or memory (one to two seconds of the clock).
	static constexpr std::int64_t kAcceptPauseSeconds = 1;

	explicit ListenSocket(ISocketHandler& handler, bool useCreator = true)
		: Socket(handler)
	{
		if (!useCreator)
			return;
		// The prototype is never added to a handler, so its destruction does
		// not reach the handler, which may be gone by then.
		m_creator.reset(new X(handler));
		std::unique_ptr<Socket> made(m_creator->Create());
		if (made && dynamic_cast<X*>(made.get()) != nullptr)
			m_hasCreate = true;
	}

	int Close() override
	{
		// Forgotten even when close fails: the number is free again at once
		// and may soon belong to another socket. Nor is it watched any more.
		if (GetSocket() != INVALID_SOCKET)
		{
			if (HeldByHandler())
				Handler().RemoveFromFdSets(this);
			closesocket(GetSocket());
			Attach(INVALID_SOCKET);
		}
		return 0;
	}

	// Every interface.
	int Bind(std::uint16_t port, int depth = 20)
	{
		Ipv4Address address(port);
		return Bind(address, depth);
	}

	int Bind(SocketAddress& address, int depth)
	{
		return Bind(address, "tcp", depth);
	}

	// 0 on success, -1 when non-blocking mode cannot be set; throws
	// Exception when the descriptor cannot be made, bound or listened on.
	int Bind(SocketAddress& address, const std::string& protocol, int depth)
	{
		const SOCKET s = CreateSocket(address.GetFamily(), SOCK_STREAM, protocol);
		if (s == INVALID_SOCKET)
			return -1;
		if (!SetNonblocking(true, s))
		{
			closesocket(s);
			return -1;
		}
		const std::string port = NetUtil::LongToString(address.GetPort());
		if (winsock::bind(s, address.SockAddr(), address.SockAddrLength()) == SOCKET_ERROR)
			Fail(s, "bind", "bind() failed for port " + port + ": ");
		if (winsock::listen(s, depth) == SOCKET_ERROR)
			Fail(s, "listen", "listen() failed for port " + port + ": ");
		Attach(s);
		return 0;
	}

	std::uint16_t GetPort() override
	{
		return GetSockPort();
	}

	void OnSocketCreated(int, int, int, SOCKET) override
	{
		SetReuseAddress(true);
	}

	void OnRead() override
	{
		for (int i = 0; i < kAcceptsPerRead; ++i)
		{
			sockaddr_in peer;
			std::memset(&peer, 0, sizeof(peer));
			int length = sizeof(peer);
			const SOCKET a = winsock::accept(GetSocket(), reinterpret_cast<sockaddr*>(&peer), &length);
			if (a == INVALID_SOCKET)
			{
				const int err = WSAGetLastError();
				if (err == WSAEMFILE || err == WSAENOBUFS)
				{
					PauseAccepting(err);
					return;
				}
				if (err != WSAEWOULDBLOCK)
					Log("accept", err, WinsockErrorText(err), LOG_LEVEL_ERROR);
				else
					m_shortage = false;
				return;
			}
			m_shortage = false;
			if (!Handler().OkToAccept(this))
			{
				Log("accept", -1, "Not OK to accept", LOG_LEVEL_WARNING);
				closesocket(a);
				return;
			}
			if (Handler().GetSocketCount() >= Handler().GetSocketLimit())
			{
				Log("accept", static_cast<int>(Handler().GetSocketCount()), "ISocketHandler socket limit reached",
					LOG_LEVEL_FATAL);
				closesocket(a);
				return;
			}
			if (Handler().HasWorkerThreads())
			{
				// To the least loaded worker, under its mutex; then woken, so
				// that it watches the socket at once.
				ISocketHandler& worker = Handler().GetLeastLoadedWorker();
				Socket* p = new X(worker);
				SetUp(p, a, peer, length);
				{
					MutexLock lock(worker.GetMutex());
					worker.Add(p);
					Accepted(p);
				}
				worker.Wakeup();
				continue;
			}
			Socket* p = m_hasCreate ? m_creator->Create() : new X(Handler());
			SetUp(p, a, peer, length);
			Handler().Add(p);
			Accepted(p);
		}
	}

	virtual SOCKET Accept(SOCKET s, sockaddr* address, int* length)
	{
		return winsock::accept(s, address, length);
	}

	// The pause after a shortage is over: watch for connections again.
	void OnTimeout() override
	{
		if (GetSocket() != INVALID_SOCKET)
			Handler().ModifyFdSets(this, true, false);
	}

private:
	// The connection stays in the backlog and the listener stays readable:
	// watching it on would spin the loop. It rests, and the shortage is
	// logged once, not at every attempt.
	void PauseAccepting(int err)
	{
		if (!m_shortage)
			Log("accept", err, WinsockErrorText(err), LOG_LEVEL_ERROR);
		m_shortage = true;
		Handler().ModifyFdSets(this, false, false);
		SetTimeout(kAcceptPauseSeconds);
	}

	void SetUp(Socket* p, SOCKET a, const sockaddr_in& peer, int length)
	{
		p->Attach(a);
		// Linux does not pass non-blocking mode on to accepted sockets.
		p->SetNonblocking(true);
		// Answers are small and often several in a row: none waits for the
		// peer's delayed acknowledgement of the one before.
		p->SetTcpNodelay(true);
		if (length == static_cast<int>(sizeof(peer)) && peer.sin_family == AF_INET)
			p->SetRemoteAddress(Ipv4Address(peer));
		p->SetConnected(true);
		p->Init();
		p->SetOwnedByHandler(true);
	}

	static void Accepted(Socket* p)
	{
		if (p->IsSSL())
			p->OnSSLAccept();
		else
			p->OnAccept();
	}

	[[noreturn]] void Fail(SOCKET s, const char* call, const std::string& message)
	{
		const int err = WSAGetLastError();
		Log(call, err, WinsockErrorText(err), LOG_LEVEL_FATAL);
		closesocket(s);
		throw Exception(message + WinsockErrorText(err));
	}

	std::unique_ptr<X> m_creator;
	bool m_hasCreate = false;
	// Accepting failed for want of descriptors or memory, and has not
	// succeeded since.
	bool m_shortage = false;
};
