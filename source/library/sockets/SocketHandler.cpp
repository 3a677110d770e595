#include "sockets/SocketHandler.h"

#include "base/Exception.h"
#include "base/NetUtil.h"
#include "sockets/PoolSocket.h"
#include "sockets/Socket.h"
#include "sockets/TcpSocket.h"
#include "sockets/WinsockInit.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <set>

namespace
{

constexpr std::size_t kSocketLimit = 64;
constexpr std::size_t kMaxTcpLineSize = 8192;
// A close request older than this closes at once, queued output or not.
constexpr std::int64_t kGracefulCloseSeconds = 5;

} // namespace

SocketHandler::SocketHandler(StdLog* log)
	: m_log(log)
	, m_mutex(m_noMutex)
	, m_mutexMode(false)
	, m_parent(nullptr)
	, m_hasParent(false)
{
	FD_ZERO(&m_rfds);
	FD_ZERO(&m_wfds);
	FD_ZERO(&m_efds);
}

SocketHandler::SocketHandler(IMutex& mutex, StdLog* log)
	: m_log(log)
	, m_mutex(mutex)
	, m_mutexMode(true)
	, m_parent(nullptr)
	, m_hasParent(false)
{
	FD_ZERO(&m_rfds);
	FD_ZERO(&m_wfds);
	FD_ZERO(&m_efds);
	m_mutex.Lock();
}

SocketHandler::SocketHandler(IMutex& mutex, ISocketHandler& parent, StdLog* log)
	: SocketHandler(mutex, log)
{
	m_parent = &parent;
	m_hasParent = true;
}

SocketHandler::~SocketHandler()
{
	StopWorkerThreads();
	ForgetWakeupSocket();
	// A socket may stand in more than one place (added twice, or added again
	// while still registered): it is let go of once.
	std::set<Socket*> released;
	auto release = [&](Socket* p) {
		if (!released.insert(p).second)
			return;
		// Forgotten or deleted: its owner may destroy it after this handler
		// is gone, and must not reach back into it then.
		const bool deletes = Deletes(p);
		p->SetErasedByHandler();
		if (deletes)
			delete p;
	};
	while (!m_sockets.empty())
	{
		auto it = m_sockets.begin();
		Socket* p = it->second;
		if (p != nullptr && released.count(p) == 0)
		{
			p->Close();
			release(p);
		}
		m_sockets.erase(it);
	}
	// Sockets still waiting for admission or deletion are the handler's too:
	// delete the owned ones rather than leak them, and let the others go.
	for (std::list<Socket*>* waiting : {&m_add, &m_rejected, &m_replaced})
	{
		for (Socket* p : *waiting)
			release(p);
		waiting->clear();
	}
	if (m_mutexMode)
		m_mutex.Unlock();
}

ISocketHandler* SocketHandler::NewHandler(IMutex& mutex, ISocketHandler& parent, StdLog* log)
{
	return new SocketHandler(mutex, parent, log);
}

ISocketHandler* SocketHandler::NewHandler(StdLog* log)
{
	return new SocketHandler(log);
}

bool SocketHandler::HasParent()
{
	return m_hasParent;
}

ISocketHandler& SocketHandler::GetParent()
{
	if (!m_hasParent)
		throw Exception("No parent sockethandler available");
	return *m_parent;
}

ISocketHandler& SocketHandler::GetParentOrSelf()
{
	return m_hasParent ? *m_parent : *this;
}

IMutex& SocketHandler::GetMutex()
{
	return m_mutex;
}

void SocketHandler::SetLog(StdLog* log)
{
	m_log = log;
}

void SocketHandler::Log(Socket* socket, const std::string& call, int code, const std::string& text, LogLevel level)
{
	if (m_log != nullptr)
		m_log->Log(this, socket, call, code, text, level);
}

void SocketHandler::Add(Socket* socket)
{
	socket->SetHeldByHandler(true);
	m_add.push_back(socket);
}

bool SocketHandler::Waiting(Socket* p) const
{
	return std::find(m_add.begin(), m_add.end(), p) != m_add.end() ||
		std::find(m_rejected.begin(), m_rejected.end(), p) != m_rejected.end();
}

void SocketHandler::LetGo(Socket* p)
{
	if (!HasSocket(p) && !Waiting(p))
		p->SetHeldByHandler(false);
}

void SocketHandler::Remove(Socket* socket)
{
	if (socket->ErasedByHandler())
		return;
	const std::string text = "Socket destructor called while still in use";
	for (auto it = m_sockets.begin(); it != m_sockets.end(); ++it)
	{
		if (it->second == socket)
		{
			Log(socket, "Remove", -1, text, LOG_LEVEL_WARNING);
			m_sockets.erase(it);
			return;
		}
	}
	int code = -2;
	for (std::list<Socket*>* container : {&m_add, &m_rejected})
	{
		for (auto it = container->begin(); it != container->end(); ++it)
		{
			if (*it == socket)
			{
				Log(socket, "Remove", code, text, LOG_LEVEL_WARNING);
				container->erase(it);
				return;
			}
		}
		--code;
	}
}

void SocketHandler::AddToFdSets(Socket* socket, bool read, bool write)
{
	UpdateFdSets(socket, read, write);
}

void SocketHandler::ModifyFdSets(Socket* socket, bool read, bool write)
{
	UpdateFdSets(socket, read, write);
}

void SocketHandler::RemoveFromFdSets(Socket* socket)
{
	// From all three sets: a closed descriptor left in one would make the
	// next select() fail and lose that turn's events of every socket.
	const SOCKET s = socket->GetSocket();
	FD_CLR(s, &m_rfds);
	FD_CLR(s, &m_wfds);
	FD_CLR(s, &m_efds);
}

void SocketHandler::UpdateFdSets(Socket* socket, bool read, bool write)
{
	const SOCKET s = socket->GetSocket();
	if (read)
		FD_SET(s, &m_rfds);
	else
		FD_CLR(s, &m_rfds);
	if (write)
		FD_SET(s, &m_wfds);
	else
		FD_CLR(s, &m_wfds);
	// Exception interest stays while the socket is watched at all.
	FD_SET(s, &m_efds);
}

int SocketHandler::Select(long sec, long usec)
{
	timeval tv;
	tv.tv_sec = sec;
	tv.tv_usec = usec;
	return Select(&tv);
}

int SocketHandler::Select()
{
	if (!m_callOnConnectPending && !m_detachPending && !m_timeoutPending && !m_retryPending && !m_closePending)
		return Select(nullptr);
	return m_detachPending ? Select(0, 10000) : Select(0, 200000);
}

int SocketHandler::Select(timeval* timeout)
{
	if (!m_add.empty())
		AdmitQueuedSockets();
	const int n = SelectAndDispatch(timeout);
	if (m_callOnConnectPending)
		ProcessConnectCallbacks();
	if (!m_detachedMode && m_detachPending)
		ProcessDetachRequests();
	if (m_timeoutPending)
	{
		const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
		if (now != m_lastTimeoutCheck)
		{
			ProcessTimeouts(now);
			m_lastTimeoutCheck = now;
		}
	}
	if (m_retryPending)
		RetryClientConnect();
	if (m_closePending)
		ProcessCloseRequests();
	if (!m_staleUids.empty())
		DropStaleEntries();
	DeleteReplacedSockets();
	DeleteRejectedSockets();
	return n;
}

void SocketHandler::AdmitQueuedSockets()
{
	while (!m_add.empty())
	{
		if (m_sockets.size() >= GetSocketLimit())
		{
			Log(nullptr, "Select", static_cast<int>(m_sockets.size()), "socket limit reached", LOG_LEVEL_WARNING);
			return;
		}
		Socket* p = m_add.front();
		const SOCKET s = p->GetSocket();
		if (s == INVALID_SOCKET)
		{
			Log(p, "Add", -1, "Invalid socket", LOG_LEVEL_WARNING);
			m_rejected.push_back(p);
			m_add.pop_front();
			continue;
		}
		auto existing = m_sockets.find(s);
		if (existing != m_sockets.end())
		{
			Socket* q = existing->second;
			if (p->Uid() > q->Uid())
			{
				Log(p, "Add", s, "Replacing socket already in controlled queue (newer uid)", LOG_LEVEL_WARNING);
				QueueForDeletion(q);
				// The number is the newcomer's now: the older socket must
				// neither close it nor take it out of the sets.
				q->Attach(INVALID_SOCKET);
				// Its entry goes to the newcomer, so the end of the turn
				// cannot find it by uid: keep it here to be deleted, or let
				// go of it.
				if (q->ErasedByHandler())
					m_replaced.push_back(q);
				else if (!Waiting(q))
					q->SetHeldByHandler(false);
			}
			else
			{
				if (p->Uid() == q->Uid())
				{
					Log(p, "Add", s, "Attempt to add socket already in controlled queue (same uid)", LOG_LEVEL_ERROR);
					if (p != q)
						m_rejected.push_back(p);
				}
				else
				{
					Log(p, "Add", s, "Attempt to add socket already in controlled queue (older uid)", LOG_LEVEL_FATAL);
					// The number belongs to the registered socket.
					p->Attach(INVALID_SOCKET);
					m_rejected.push_back(p);
				}
				m_add.pop_front();
				continue;
			}
		}
		if (p->CloseAndDelete())
		{
			Log(p, "Add", s, "Added socket with SetCloseAndDelete() true", LOG_LEVEL_WARNING);
			m_sockets[s] = p;
			QueueForDeletion(p);
			p->Close();
			m_add.pop_front();
			continue;
		}
		m_callOnConnectPending |= p->IsCallOnConnect();
		m_detachPending |= p->DetachRequested();
		m_timeoutPending |= p->HasTimeout();
		m_retryPending |= p->IsRetryClientConnect();
		auto* stream = dynamic_cast<StreamSocket*>(p);
		auto* tcp = dynamic_cast<TcpSocket*>(p);
		if (stream != nullptr && stream->Connecting())
			AddToFdSets(p, false, true);
		else
			AddToFdSets(p, true, tcp != nullptr && tcp->GetOutputLength() != 0);
		if (s > m_maxSocket)
			m_maxSocket = s;
		m_sockets[s] = p;
		m_add.pop_front();
	}
}

template <typename Visit>
void SocketHandler::ForEachEntry(Visit visit)
{
	auto it = m_sockets.begin();
	while (it != m_sockets.end())
	{
		const SOCKET s = it->first;
		visit(s, it->second);
		it = m_sockets.upper_bound(s);
	}
}

int SocketHandler::SelectAndDispatch(timeval* timeout)
{
	winsock::fd_set rfds = m_rfds;
	winsock::fd_set wfds = m_wfds;
	winsock::fd_set efds = m_efds;
	int n;
	if (m_mutexMode)
	{
		m_mutex.Unlock();
		n = winsock::select(static_cast<int>(m_maxSocket + 1), &rfds, &wfds, &efds, timeout);
		m_mutex.Lock();
	}
	else
	{
		n = winsock::select(static_cast<int>(m_maxSocket + 1), &rfds, &wfds, &efds, timeout);
	}
	if (n == SOCKET_ERROR)
	{
		const int e = WSAGetLastError();
		switch (e)
		{
		case WSAEFAULT:
			Log(nullptr, "SocketHandler::Select", e, WinsockErrorText(e), LOG_LEVEL_ERROR);
			break;
		case WSAEINVAL:
			Log(nullptr, "SocketHandler::Select", e, WinsockErrorText(e), LOG_LEVEL_FATAL);
			throw Exception("select(n): n is negative. Or struct timeval contains bad time values (<0).");
		case WSAENOTSOCK:
			PurgeBadDescriptors();
			break;
		case WSAENETDOWN:
			throw Exception("Network subsystem failure");
		case WSANOTINITIALISED:
			throw Exception("WSAStartup not successfully called");
		default:
			break;
		}
		std::printf("error on select(): %d %s\n", WSAGetLastError(), WinsockErrorText(e));
		std::fflush(stdout);
		return n;
	}
	if (n == 0)
		return n;
	ForEachEntry([&](SOCKET s, Socket* p) {
		// A callback may have destroyed a socket the handler still names.
		auto stillHere = [&] {
			auto it = m_sockets.find(s);
			return it != m_sockets.end() && it->second == p;
		};
		if (FD_ISSET(s, &rfds))
		{
			if (p->IsSSLNegotiating())
				p->SSLNegotiate();
			else
				p->OnRead();
		}
		if (FD_ISSET(s, &wfds) && stillHere())
		{
			if (p->IsSSLNegotiating())
				p->SSLNegotiate();
			else
				p->OnWrite();
		}
		if (FD_ISSET(s, &efds) && stillHere())
			p->OnException();
	});
	return n;
}

void SocketHandler::PurgeBadDescriptors()
{
	winsock::fd_set rfds, wfds, efds;
	FD_ZERO(&rfds);
	FD_ZERO(&wfds);
	FD_ZERO(&efds);
	for (auto& [s, p] : m_sockets)
	{
		if (s != p->GetSocket())
		{
			Log(p, "Select", s, "Bad fd in fd_set (3)", LOG_LEVEL_ERROR);
			QueueForDeletion(p);
			continue;
		}
		winsock::fd_set probe;
		FD_ZERO(&probe);
		FD_SET(s, &probe);
		timeval zero{0, 0};
		if (winsock::select(static_cast<int>(s + 1), &probe, nullptr, nullptr, &zero) == SOCKET_ERROR &&
			WSAGetLastError() == WSAENOTSOCK)
		{
			Log(p, "Select", s, "Bad fd in fd_set (2)", LOG_LEVEL_ERROR);
			if (Serves(p))
				QueueForDeletion(p);
			// Closed behind the handler's back: the number is no longer the
			// socket's, and closing it again could close somebody else's.
			p->Attach(INVALID_SOCKET);
			continue;
		}
		if (FD_ISSET(s, &m_rfds))
			FD_SET(s, &rfds);
		if (FD_ISSET(s, &m_wfds))
			FD_SET(s, &wfds);
		if (FD_ISSET(s, &m_efds))
			FD_SET(s, &efds);
	}
	m_rfds = rfds;
	m_wfds = wfds;
	m_efds = efds;
}

void SocketHandler::QueueForDeletion(Socket* p)
{
	p->OnDelete();
	if (p->IsOwnedByHandler() && !p->ErasedByHandler())
		p->SetErasedByHandler();
	m_staleUids.push_back(p->Uid());
}

bool SocketHandler::Deletes(const Socket* p) const
{
	return p->IsOwnedByHandler() && p->IsDetached() == m_detachedMode;
}

bool SocketHandler::Serves(Socket* p)
{
	// A socket queued for deletion keeps its entry until the end of the
	// turn, but it is done with: its descriptor may be closed already, and
	// the number may belong to a new connection.
	const bool queued = std::find(m_staleUids.begin(), m_staleUids.end(), p->Uid()) != m_staleUids.end();
	return !queued && HasSocket(p) && HasSocketUid(p->Uid());
}

bool SocketHandler::HasSocketUid(int uid)
{
	for (const auto& entry : m_sockets)
	{
		if (entry.second->Uid() == uid)
			return true;
	}
	return false;
}

bool SocketHandler::HasSocket(Socket* socket)
{
	for (const auto& entry : m_sockets)
	{
		if (entry.second == socket)
			return true;
	}
	return false;
}

std::size_t SocketHandler::GetSocketCount()
{
	return m_sockets.size() + m_add.size() + m_rejected.size();
}

std::size_t SocketHandler::GetSocketLimit()
{
	return kSocketLimit;
}

bool SocketHandler::OkToAccept(Socket*)
{
	return true;
}

ISocketHandler::SocketMap& SocketHandler::GetSocketMap()
{
	return m_sockets;
}

std::size_t SocketHandler::GetMaxTcpLineSize()
{
	return kMaxTcpLineSize;
}

void SocketHandler::SetCallOnConnectPending(bool on)
{
	m_callOnConnectPending = on;
}

void SocketHandler::SetDetachPending(bool on)
{
	m_detachPending = on;
}

void SocketHandler::SetTimeoutPending(bool on)
{
	m_timeoutPending = on;
}

void SocketHandler::SetRetryPending(bool on)
{
	m_retryPending = on;
}

void SocketHandler::SetClosePending(bool on)
{
	m_closePending = on;
}

void SocketHandler::SetPoolEnabled(bool on)
{
	m_poolEnabled = on;
}

bool SocketHandler::IsPoolEnabled()
{
	return m_poolEnabled;
}

bool SocketHandler::SetSocks4Host(const std::string& host)
{
	// A host that does not resolve leaves the setting as it was.
	std::uint32_t address = 0;
	if (!NetUtil::ResolveHost(host, address))
		return false;
	m_socks4Host = address;
	return true;
}

void SocketHandler::SetSocks4Host(std::uint32_t address)
{
	m_socks4Host = address;
}

void SocketHandler::SetSocks4Port(std::uint16_t port)
{
	m_socks4Port = port;
}

void SocketHandler::SetSocks4Userid(const std::string& userid)
{
	m_socks4Userid = userid;
}

void SocketHandler::SetSocks4TryDirect(bool on)
{
	m_socks4TryDirect = on;
}

std::uint32_t SocketHandler::GetSocks4Host()
{
	return m_socks4Host;
}

std::uint16_t SocketHandler::GetSocks4Port()
{
	return m_socks4Port;
}

const std::string& SocketHandler::GetSocks4Userid()
{
	return m_socks4Userid;
}

bool SocketHandler::GetSocks4TryDirect()
{
	return m_socks4TryDirect;
}

void SocketHandler::SetDetachedMode(bool on)
{
	m_detachedMode = on;
}

bool SocketHandler::IsDetachedMode()
{
	return m_detachedMode;
}

// ---- the request passes, in the order a turn runs them ----

void SocketHandler::ProcessConnectCallbacks()
{
	m_callOnConnectPending = false;
	ForEachEntry([&](SOCKET, Socket* p) {
		if (!Serves(p) || !p->IsCallOnConnect())
			return;
		p->SetConnected(true);
		if (p->IsSSL())
		{
			p->OnSSLConnect();
		}
		else if (p->IsSocks4())
		{
			p->OnSocks4Connect();
		}
		else
		{
			auto* tcp = dynamic_cast<TcpSocket*>(p);
			// Output queued before the connection stood goes out first.
			if (tcp != nullptr && tcp->GetOutputLength() != 0)
				p->OnWrite();
			if (tcp != nullptr && tcp->IsReconnect())
				p->OnReconnect();
			else
				p->OnConnect();
		}
		p->SetCallOnConnect(false);
		m_callOnConnectPending = true;
	});
}

void SocketHandler::ProcessDetachRequests()
{
	m_detachPending = false;
	for (auto it = m_sockets.begin(); it != m_sockets.end(); ++it)
	{
		Socket* p = it->second;
		if (p->DetachRequested())
		{
			RemoveFromFdSets(p);
			m_sockets.erase(it);
			p->DetachToThread();
			m_detachPending = true;
			break;
		}
	}
	for (Socket* p : m_add)
	{
		if (m_detachPending)
			break;
		m_detachPending = p->DetachRequested();
	}
}

void SocketHandler::ProcessTimeouts(std::int64_t now)
{
	m_timeoutPending = false;
	ForEachEntry([&](SOCKET, Socket* p) {
		if (!Serves(p) || !p->HasTimeout())
			return;
		if (p->TimeoutExpired(now))
		{
			p->SetTimeout(0);
			auto* stream = dynamic_cast<StreamSocket*>(p);
			if (stream != nullptr && stream->Connecting())
			{
				p->OnConnectTimeout();
				p->SetTimeout(stream->GetConnectTimeout());
			}
			else if (stream != nullptr && stream->IsNegotiating())
			{
				p->OnSSLNegotiateTimeout();
			}
			else
			{
				p->OnTimeout();
			}
		}
		m_timeoutPending = true;
	});
}

void SocketHandler::RetryClientConnect()
{
	m_retryPending = false;
	ForEachEntry([&](SOCKET, Socket* p) {
		if (!Serves(p) || !p->IsRetryClientConnect())
			return;
		auto* tcp = dynamic_cast<TcpSocket*>(p);
		p->SetRetryClientConnect(false);
		p->Close();
		std::unique_ptr<SocketAddress> address = p->GetClientRemoteAddress();
		if (address && tcp != nullptr)
			tcp->Open(*address, false);
		else if (!address)
			Log(p, "RetryClientConnect", 0, "no address", LOG_LEVEL_ERROR);
		Add(p);
		m_staleUids.push_back(p->Uid());
		m_retryPending = true;
	});
}

void SocketHandler::ProcessCloseRequests()
{
	m_closePending = false;
	ForEachEntry([&](SOCKET s, Socket* p) {
		if (!Serves(p) || !p->CloseAndDelete())
			return;
		auto* tcp = dynamic_cast<TcpSocket*>(p);
		m_closePending = true;
		if (p->ConnectionLost() && !(tcp != nullptr && tcp->ReconnectEnabled()))
		{
			// Its descriptor would stay readable at end of file and keep
			// select() returning for a socket nobody serves any more.
			RemoveFromFdSets(p);
			QueueForDeletion(p);
			return;
		}
		// A connection kept for the pool is parked once its output is out,
		// without shutting down its sending side; one whose peer has ended
		// its input is of no more use and is closed.
		const bool parks = p->RetainForPool() && !p->ConnectionLost() && !(tcp != nullptr && tcp->InputEnded());
		if (tcp != nullptr && p->IsConnected() && tcp->FlushBeforeClose() &&
			p->TimeSinceClose() < kGracefulCloseSeconds && (!parks || tcp->GetOutputLength() != 0))
		{
			if (tcp->GetOutputLength() != 0)
			{
				Log(p, "Closing", LogCode(tcp->GetOutputLength()), "Sending all data before closing",
					LOG_LEVEL_INFO);
			}
			else if (!(tcp->GetShutdown() & StreamSocket::kShutdownSend))
			{
				// A TLS connection ends with close_notify, ahead of the TCP
				// end; while it waits for room the next turn tries again.
				if (!tcp->SendCloseNotify())
					return;
				if (s != INVALID_SOCKET && winsock::shutdown(s, SD_SEND) == SOCKET_ERROR)
				{
					const int err = WSAGetLastError();
					Log(p, "graceful shutdown", err, WinsockErrorText(err), LOG_LEVEL_ERROR);
				}
				tcp->SetShutdown(StreamSocket::kShutdownSend);
			}
			else
			{
				RemoveFromFdSets(p);
				tcp->Close();
				QueueForDeletion(p);
			}
			return;
		}
		if (tcp != nullptr && p->IsConnected() && tcp->ReconnectEnabled())
		{
			p->SetCloseAndDelete(false);
			tcp->SetReconnect(true);
			p->SetConnected(false);
			p->Close();
			p->OnDisconnect();
			std::unique_ptr<SocketAddress> address = p->GetClientRemoteAddress();
			if (address)
				tcp->Open(*address, false);
			else
				Log(p, "Reconnect", 0, "no address", LOG_LEVEL_ERROR);
			tcp->ResetConnectionRetries();
			Add(p);
			m_staleUids.push_back(p->Uid());
			return;
		}
		if (tcp != nullptr && p->IsConnected() && tcp->GetOutputLength() != 0)
		{
			Log(p, "Closing", LogCode(tcp->GetOutputLength()), "Closing socket while data still left to send",
				LOG_LEVEL_WARNING);
		}
		if (parks)
		{
			Socket* pooled = new PoolSocket(*this, p);
			pooled->SetOwnedByHandler(true);
			Add(pooled);
			p->SetCloseAndDelete(false);
		}
		else
		{
			RemoveFromFdSets(p);
			p->Close();
		}
		QueueForDeletion(p);
	});
}

void SocketHandler::DropStaleEntries()
{
	while (!m_staleUids.empty())
	{
		const int uid = m_staleUids.front();
		for (auto it = m_sockets.begin(); it != m_sockets.end(); ++it)
		{
			Socket* p = it->second;
			if (p->Uid() == uid)
			{
				m_sockets.erase(it);
				if (p->ErasedByHandler() && p->IsDetached() == m_detachedMode)
					delete p;
				else
					LetGo(p);
				break;
			}
		}
		m_staleUids.pop_front();
	}
	m_maxSocket = m_sockets.empty() ? 0 : m_sockets.rbegin()->first;
}

void SocketHandler::DeleteReplacedSockets()
{
	while (!m_replaced.empty())
	{
		Socket* q = m_replaced.front();
		m_replaced.pop_front();
		if (q->IsDetached() == m_detachedMode)
			delete q;
	}
}

void SocketHandler::DeleteRejectedSockets()
{
	while (!m_rejected.empty())
	{
		Socket* p = m_rejected.front();
		p->OnDelete();
		m_rejected.pop_front();
		if (Deletes(p))
		{
			p->SetErasedByHandler();
			delete p;
		}
		else
		{
			LetGo(p);
		}
	}
}
