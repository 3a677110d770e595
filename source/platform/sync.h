#pragma once

// Kernel objects, threads, sleeping and the clock, with the Win32 and runtime
// library meanings the program relies on. Handles are owned by the caller and
// released with CloseHandle; a handle must not be used after that.

#include "platform/wintypes.h"

#include <cstdint>
#include <ctime>

constexpr DWORD WAIT_TIMEOUT = 0x102;

// A mutex belongs to the thread that holds it; that thread may take it again,
// and each wait is matched by one release. Named objects are not supported.
HANDLE CreateMutexW(void* attributes, BOOL initialOwner, const WCHAR* name);
BOOL ReleaseMutex(HANDLE mutex); // FALSE when the caller does not hold it

// A counting semaphore; a release that would pass the maximum fails and
// leaves the count as it was.
HANDLE CreateSemaphoreW(void* attributes, int initialCount, int maximumCount, const WCHAR* name);
BOOL ReleaseSemaphore(HANDLE semaphore, int releaseCount, int* previousCount);

// Waits for a mutex or a semaphore: WAIT_OBJECT_0 when taken, WAIT_TIMEOUT,
// or WAIT_FAILED (also for a null handle or a handle of another kind).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

BOOL CloseHandle(HANDLE handle);

// Starts a thread at once (only flags 0 are supported). Nothing joins it: the
// returned handle only names the thread and is closed with CloseHandle.
// Returns 0 when the thread could not be created.
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*start)(void*), void* argument,
	unsigned initFlags, unsigned* threadId);
[[noreturn]] void _endthreadex(unsigned exitCode);

// Sleeps the whole time, even when a signal interrupts it.
void Sleep(DWORD milliseconds);

DWORD GetCurrentThreadId();

struct FILETIME
{
	DWORD dwLowDateTime;
	DWORD dwHighDateTime;
};

// 100-nanosecond intervals since 1601-01-01 UTC.
void GetSystemTimeAsFileTime(FILETIME* out);
std::int64_t _time64(std::int64_t* out);
// Thread-safe local time (Windows argument order); 0 or EINVAL.
int localtime_s(struct tm* out, const std::time_t* time);
