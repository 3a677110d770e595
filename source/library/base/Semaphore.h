#pragma once

#include "platform/wintypes.h"

// A semaphore with a maximum count of 1, used to hand a start signal from one
// thread to another.
class Semaphore
{
public:
	explicit Semaphore(int initialCount);
	~Semaphore();
	Semaphore(const Semaphore&) = delete;
	Semaphore& operator=(const Semaphore&) = delete;

	// 0 on success; -1 on failure, in particular when the count is already 1.
	int Post();
	// Waits without time-out: 0 when taken, -1 otherwise.
	int Wait();

private:
	HANDLE m_handle;
};
