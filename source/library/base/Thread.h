#pragma once

#include <cstdint>
#include <memory>

// Base of the framework's thread objects. The operating-system thread is
// created with the object but waits until it is released (Start, or a
// constructor told so); then it calls Run unless the thread was stopped first.
// The destructor never waits for the thread: an owner deletes the object only
// after Run has returned, or stops it and lets it delete itself (auto-delete).
class Thread
{
public:
	explicit Thread(bool startReleased);
	virtual ~Thread();
	Thread(const Thread&) = delete;
	Thread& operator=(const Thread&) = delete;

	virtual void Run() = 0;

	// Releasing posts the start signal, whatever the flag was before.
	void SetReleased(bool released);
	bool IsRunning() const;
	void SetRunning(bool running);
	bool AutoDelete() const;
	void SetAutoDelete(bool autoDelete);
	bool IsDestroying() const;
	int WaitForRelease();
	void Start();
	// Before release: the body never runs. While running: clears the flag the
	// body polls.
	void Stop();

protected:
	static unsigned ThreadEntry(void* argument);

private:
	// The start signal and the flags, shared with the thread's entry so that it
	// never reads them from an object its owner has already deleted.
	struct Control;

	std::uintptr_t m_handle;
	unsigned m_threadId;
	std::shared_ptr<Control> m_control;
};
