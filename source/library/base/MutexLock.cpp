#include "base/MutexLock.h"

MutexLock::MutexLock(IMutex& mutex)
	: m_mutex(mutex)
{
	m_mutex.Lock();
}

MutexLock::~MutexLock()
{
	m_mutex.Unlock();
}
