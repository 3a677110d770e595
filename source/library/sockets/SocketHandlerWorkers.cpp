// The handler's operations for threads and pooled connections: the wake-up
// socket, worker threads and the parked connections.

#include "sockets/SocketHandler.h"

#include "base/Exception.h"
#include "base/MutexLock.h"
#include "sockets/PoolSocket.h"
#include "sockets/SocketHandlerThread.h"
#include "sockets/UdpSocket.h"

#include <memory>
#include <vector>

namespace
{

const char* const kLoopback = "127.0.0.1";
constexpr int kMinWorkers = 2;
constexpr int kMaxWorkers = 255;
// A worker ends within its one-second turn; one held up in a callback for
// longer than this is not waited for.
constexpr std::chrono::seconds kWorkerEndWait{10};

} // namespace

// Tells the handler when it goes, so that Wakeup never reaches a closed or
// deleted socket.
class SocketHandler::WakeupSocket : public UdpSocket
{
public:
	explicit WakeupSocket(SocketHandler& handler)
		: UdpSocket(handler, 16384, 0)
		, m_owner(handler)
	{
	}

	// Forgotten before its descriptor closes: the number may soon belong to
	// another socket.
	int Close() override
	{
		m_owner.ForgetWakeupSocket();
		return UdpSocket::Close();
	}
	void OnDelete() override { m_owner.ForgetWakeupSocket(); }

private:
	SocketHandler& m_owner;
};

void SocketHandler::CreateWakeupSocket()
{
	{
		std::lock_guard<std::mutex> guard(m_wakeupGuard);
		if (m_wakeupSocket != nullptr)
			return;
	}
	auto* socket = new WakeupSocket(*this);
	socket->SetOwnedByHandler(true);
	// A handler in detached mode deletes only detached sockets.
	socket->SetDetached(m_detachedMode);
	std::uint16_t port = 0;
	try
	{
		socket->Bind(kLoopback, port, 1);
	}
	catch (...)
	{
		// Never added: nobody else would delete it.
		socket->SetErasedByHandler();
		delete socket;
		throw;
	}
	Add(socket);
	std::lock_guard<std::mutex> guard(m_wakeupGuard);
	m_wakeupSocket = socket;
}

void SocketHandler::Wakeup()
{
	std::lock_guard<std::mutex> guard(m_wakeupGuard);
	if (m_wakeupSocket != nullptr)
		m_wakeupSocket->SendTo(kLoopback, m_wakeupSocket->GetPort(), "\n");
}

void SocketHandler::ForgetWakeupSocket()
{
	std::lock_guard<std::mutex> guard(m_wakeupGuard);
	m_wakeupSocket = nullptr;
}

ISocketHandler::PoolSocket* SocketHandler::FindPooledConnection(int type, const std::string& protocol,
	SocketAddress& address)
{
	for (auto it = m_sockets.begin(); it != m_sockets.end(); ++it)
	{
		auto* pooled = dynamic_cast<PoolSocket*>(it->second);
		if (pooled == nullptr || pooled->GetSocketType() != type || pooled->GetSocketProtocol() != protocol)
			continue;
		std::unique_ptr<SocketAddress> parkedTo = pooled->GetClientRemoteAddress();
		if (!parkedTo || !parkedTo->Equals(address))
			continue;
		m_sockets.erase(it);
		pooled->SetRetainForPool();
		return pooled;
	}
	return nullptr;
}

void SocketHandler::StartWorkerThreads(int n)
{
	if (!m_workers.empty() || n < kMinWorkers || n > kMaxWorkers)
		return;
	for (int i = 0; i < n; ++i)
	{
		auto* worker = new SocketHandlerThread(*this);
		m_workers.push_back(worker);
		worker->SetAutoDelete(true);
		worker->Start();
		worker->WaitReady();
	}
}

bool SocketHandler::HasWorkerThreads()
{
	return !m_workers.empty();
}

ISocketHandler& SocketHandler::GetLeastLoadedWorker()
{
	if (m_workers.empty())
		throw Exception("SocketHandler is not multithreaded");
	ISocketHandler* best = nullptr;
	std::size_t least = 99999;
	for (SocketHandlerThread* worker : m_workers)
	{
		ISocketHandler* handler = worker->Handler();
		// The worker lets go of its mutex only inside select().
		MutexLock lock(handler->GetMutex());
		const std::size_t count = handler->GetSocketCount();
		if (count < least)
		{
			least = count;
			best = handler;
		}
	}
	if (best == nullptr)
		throw Exception("Can't locate free threaded sockethandler");
	return *best;
}

void SocketHandler::StopWorkerThreads()
{
	std::vector<std::shared_ptr<SocketHandlerThread::EndSignal>> ended;
	for (SocketHandlerThread* worker : m_workers)
	{
		ISocketHandler* handler = worker->Handler();
		// Under the worker's mutex the worker waits in select(), so its
		// handler cannot go while it is woken.
		MutexLock lock(handler->GetMutex());
		worker->Stop();
		handler->Wakeup();
		ended.push_back(worker->Ended());
	}
	m_workers.clear();
	for (const auto& end : ended)
		end->WaitFor(kWorkerEndWait);
}
