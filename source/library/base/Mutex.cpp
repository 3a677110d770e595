#include "base/Mutex.h"

#include "platform/sync.h"

Mutex::Mutex()
	: m_handle(CreateMutexW(nullptr, FALSE, nullptr))
{
}

Mutex::~Mutex()
{
	CloseHandle(m_handle);
}

// A mutex that could not be created has a null handle; locking it then does
// nothing, as the callers do not look at the result.
void Mutex::Lock()
{
	WaitForSingleObject(m_handle, INFINITE);
}

void Mutex::Unlock()
{
	ReleaseMutex(m_handle);
}
