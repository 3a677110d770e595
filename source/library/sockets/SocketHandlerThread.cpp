#include "sockets/SocketHandlerThread.h"

#include "base/Exception.h"
#include "base/Mutex.h"
#include "sockets/ISocketHandler.h"

bool TryCreateWakeupSocket(ISocketHandler& handler)
{
	// Without it the handler still admits new sockets, within its turn.
	try
	{
		handler.CreateWakeupSocket();
		return true;
	}
	catch (const Exception&)
	{
		return false;
	}
}

void SocketHandlerThread::EndSignal::Post()
{
	std::lock_guard<std::mutex> lock(m_mutex);
	m_done = true;
	m_ended.notify_all();
}

bool SocketHandlerThread::EndSignal::WaitFor(std::chrono::milliseconds time)
{
	std::unique_lock<std::mutex> lock(m_mutex);
	return m_ended.wait_for(lock, time, [this] { return m_done; });
}

SocketHandlerThread::SocketHandlerThread(ISocketHandler& parent)
	: Thread(false)
	, m_parent(parent)
	, m_ended(std::make_shared<EndSignal>())
{
}

int SocketHandlerThread::WaitReady()
{
	return m_ready.Wait();
}

void SocketHandlerThread::Run()
{
	// The handler is made, driven and destroyed on this thread, which holds
	// its mutex all the time but inside select(). The handler goes first:
	// its destruction releases the mutex, which thus ends unheld.
	Mutex mutex;
	{
		std::unique_ptr<ISocketHandler> handler(m_parent.NewHandler(mutex, m_parent, nullptr));
		m_handler = handler.get();
		m_ready.Post();
		TryCreateWakeupSocket(*handler);
		while (IsRunning())
			handler->Select(1, 0);
		m_handler = nullptr;
	}
	// Whoever took the mutex meanwhile has let it go before it ends.
	mutex.Lock();
	mutex.Unlock();
	m_ended->Post();
}
