#pragma once

#include "base/IMutex.h"

// Holds a lock for the scope it lives in.
class MutexLock
{
public:
	explicit MutexLock(IMutex& mutex);
	~MutexLock();
	MutexLock(const MutexLock&) = delete;
	MutexLock& operator=(const MutexLock&) = delete;

private:
	IMutex& m_mutex;
};
