#include "base/Semaphore.h"

#include "platform/sync.h"

Semaphore::Semaphore(int initialCount)
	: m_handle(CreateSemaphoreW(nullptr, initialCount, 1, nullptr))
{
}

Semaphore::~Semaphore()
{
	CloseHandle(m_handle);
}

int Semaphore::Post()
{
	return ReleaseSemaphore(m_handle, 1, nullptr) ? 0 : -1;
}

int Semaphore::Wait()
{
	return WaitForSingleObject(m_handle, INFINITE) == WAIT_OBJECT_0 ? 0 : -1;
}
