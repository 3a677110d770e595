#pragma once

#include "base/Semaphore.h"
#include "base/Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class ISocketHandler;

// Makes the handler's wake-up socket; false when it cannot be made (out of
// descriptors): a thread's loop then runs on without one.
bool TryCreateWakeupSocket(ISocketHandler& handler);

// A worker of a handler: runs a handler of its own, in mutex mode, on its own
// thread, to which the parent's listener hands accepted sockets. The worker's
// handler, with the sockets it still holds, is destroyed on the worker's
// thread when the worker is stopped.
class SocketHandlerThread : public Thread
{
public:
	// What the parent waits on when it stops its workers; it outlives the
	// thread object, which deletes itself.
	class EndSignal
	{
	public:
		void Post();
		// False when the worker did not end within the time.
		bool WaitFor(std::chrono::milliseconds time);

	private:
		std::mutex m_mutex;
		std::condition_variable m_ended;
		bool m_done = false;
	};

	// Created not released.
	explicit SocketHandlerThread(ISocketHandler& parent);

	void Run() override;

	// The worker's handler; null until the worker has made it.
	ISocketHandler* Handler() const { return m_handler; }
	// Waits until the worker's handler exists.
	int WaitReady();
	std::shared_ptr<EndSignal> Ended() const { return m_ended; }

private:
	ISocketHandler& m_parent;
	std::atomic<ISocketHandler*> m_handler{nullptr};
	Semaphore m_ready{0};
	std::shared_ptr<EndSignal> m_ended;
};
