#pragma once

#include "base/IMutex.h"
#include "platform/wintypes.h"

// An operating-system mutex. It belongs to the thread that locked it, which may
// lock it again; each Lock is matched by one Unlock.
class Mutex : public IMutex
{
public:
	Mutex();
	~Mutex() override;
	Mutex(const Mutex&) = delete;
	Mutex& operator=(const Mutex&) = delete;

	void Lock() override;
	void Unlock() override;

private:
	HANDLE m_handle;
};
