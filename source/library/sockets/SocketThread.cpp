#include "sockets/SocketThread.h"

#include "sockets/Socket.h"
#include "sockets/SocketHandlerThread.h"

SocketThread::SocketThread(Socket* socket)
	: Thread(false)
	, m_handler(nullptr)
	, m_socket(socket)
{
}

void SocketThread::Run()
{
	m_handler.SetDetachedMode(true);
	m_handler.Add(m_socket);
	m_socket->SetDetachedHandler(m_handler);
	m_socket->OnDetached();
	// Served without a wake-up socket too: nothing but its own events need
	// reach this loop.
	const std::size_t wakeup = TryCreateWakeupSocket(m_handler) ? 1 : 0;
	// More than the wake-up socket: the detached one is still there.
	while (m_handler.GetSocketCount() > wakeup && IsRunning())
		m_handler.Select(0, 500000);
	SetAutoDelete(true);
}
