// The handler's operations for threads and pooled connections: the wake-up
// socket, worker threads and the parked connections.

#include "sockets/SocketHandler.h"

#include "sockets/PoolSocket.h"
#include "sockets/UdpSocket.h"

#include <memory>

namespace
{

const char* const kLoopback = "127.0.0.1";

} // namespace

// Tells the handler when it goes, so that Wakeup never reaches a deleted
// socket.
class SocketHandler::WakeupSocket : public UdpSocket
{
public:
	explicit WakeupSocket(SocketHandler& handler)
		: UdpSocket(handler, 16384, 0)
		, m_owner(handler)
	{
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
