#include "base/Thread.h"

#include "base/NetUtil.h"
#include "base/Semaphore.h"
#include "platform/sync.h"

#include <atomic>

struct Thread::Control
{
	Semaphore start{0};
	std::atomic<bool> running{true};
	std::atomic<bool> released{false};
	std::atomic<bool> autoDelete{false};
	std::atomic<bool> destroying{false};
};

namespace {

struct EntryArgument
{
	Thread* thread;
	std::shared_ptr<void> control;
};

}

Thread::Thread(bool startReleased)
	: m_handle(0)
	, m_threadId(0)
	, m_control(std::make_shared<Control>())
{
	auto argument = std::make_unique<EntryArgument>(EntryArgument{this, m_control});
	m_handle = _beginthreadex(nullptr, 0, &Thread::ThreadEntry, argument.get(), 0, &m_threadId);
	if (m_handle != 0)
		argument.release(); // the entry owns it now
	else
		m_control->running = false; // no body will ever run
	SetReleased(startReleased);
}

Thread::~Thread()
{
	m_control->destroying = true;
	if (m_control->running)
	{
		// Clear the flag before the release, so that a thread still waiting for
		// it skips Run instead of calling it on an object half destroyed.
		m_control->running = false;
		SetReleased(true);
		NetUtil::SleepMs(1000); // the only grace a running body gets to notice
	}
	if (m_handle != 0)
		CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

unsigned Thread::ThreadEntry(void* raw)
{
	{
		std::unique_ptr<EntryArgument> argument(static_cast<EntryArgument*>(raw));
		Thread* thread = argument->thread;
		const std::shared_ptr<Control> control = std::static_pointer_cast<Control>(argument->control);
		argument.reset();

		NetUtil::SleepMs(5);
		control->start.Wait();
		if (control->running)
			thread->Run();
		control->running = false;
		// From here on the owner may delete the object; only the shared control
		// is read, and the object is touched only to delete itself.
		if (control->autoDelete && !control->destroying)
			delete thread;
	}
	_endthreadex(0);
	return 0;
}

void Thread::SetReleased(bool released)
{
	m_control->released = released;
	if (released)
		m_control->start.Post();
}

bool Thread::IsRunning() const
{
	return m_control->running;
}

void Thread::SetRunning(bool running)
{
	m_control->running = running;
}

bool Thread::AutoDelete() const
{
	return m_control->autoDelete;
}

void Thread::SetAutoDelete(bool autoDelete)
{
	m_control->autoDelete = autoDelete;
}

bool Thread::IsDestroying() const
{
	return m_control->destroying;
}

int Thread::WaitForRelease()
{
	return m_control->start.Wait();
}

void Thread::Start()
{
	SetReleased(true);
}

void Thread::Stop()
{
	// Clear the flag first: a thread that has not been released must not see
	// the release while it still reads "running".
	SetRunning(false);
	Start();
}
