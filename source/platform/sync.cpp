#include "platform/sync.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace {

struct KernelObject
{
	virtual ~KernelObject() = default;
};

struct MutexObject : KernelObject
{
	pthread_mutex_t mutex;

	MutexObject()
	{
		pthread_mutexattr_t attributes;
		pthread_mutexattr_init(&attributes);
		pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
		pthread_mutex_init(&mutex, &attributes);
		pthread_mutexattr_destroy(&attributes);
	}
	~MutexObject() override { pthread_mutex_destroy(&mutex); }
};

struct SemaphoreObject : KernelObject
{
	std::mutex lock;
	std::condition_variable posted;
	int count;
	int maximum;

	SemaphoreObject(int initial, int max) : count(initial), maximum(max) {}
};

struct ThreadObject : KernelObject
{
};

KernelObject* Object(HANDLE handle)
{
	return static_cast<KernelObject*>(handle);
}

timespec DeadlineIn(clockid_t clock, DWORD milliseconds)
{
	timespec t;
	clock_gettime(clock, &t);
	t.tv_sec += milliseconds / 1000;
	t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
	if (t.tv_nsec >= 1000000000L)
	{
		t.tv_sec += 1;
		t.tv_nsec -= 1000000000L;
	}
	return t;
}

DWORD WaitMutex(MutexObject& m, DWORD milliseconds)
{
	int rc;
	if (milliseconds == INFINITE)
		rc = pthread_mutex_lock(&m.mutex);
	else if (milliseconds == 0)
		rc = pthread_mutex_trylock(&m.mutex);
	else
	{
		const timespec deadline = DeadlineIn(CLOCK_MONOTONIC, milliseconds);
		rc = pthread_mutex_clocklock(&m.mutex, CLOCK_MONOTONIC, &deadline);
	}
	if (rc == 0)
		return WAIT_OBJECT_0;
	return rc == EBUSY || rc == ETIMEDOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}

DWORD WaitSemaphore(SemaphoreObject& s, DWORD milliseconds)
{
	std::unique_lock<std::mutex> guard(s.lock);
	auto available = [&s] { return s.count > 0; };
	if (milliseconds == INFINITE)
		s.posted.wait(guard, available);
	else if (!s.posted.wait_for(guard, std::chrono::milliseconds(milliseconds), available))
		return WAIT_TIMEOUT;
	--s.count;
	return WAIT_OBJECT_0;
}

// What the new thread needs; it owns this and frees it before the body runs.
struct ThreadStart
{
	unsigned (*start)(void*);
	void* argument;
	std::promise<unsigned> id;
};

void* RunThread(void* raw)
{
	std::unique_ptr<ThreadStart> begin(static_cast<ThreadStart*>(raw));
	unsigned (*start)(void*) = begin->start;
	void* argument = begin->argument;
	begin->id.set_value(static_cast<unsigned>(gettid()));
	begin.reset();
	start(argument);
	return nullptr;
}

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffset = 11644473600LL;

}

HANDLE CreateMutexW(void*, BOOL initialOwner, const WCHAR* name)
{
	if (name != nullptr)
		return nullptr;
	auto* m = new MutexObject;
	if (initialOwner)
		pthread_mutex_lock(&m->mutex);
	return static_cast<KernelObject*>(m);
}

BOOL ReleaseMutex(HANDLE mutex)
{
	auto* m = dynamic_cast<MutexObject*>(Object(mutex));
	// A recursive pthread mutex refuses an unlock by a thread that does not hold it.
	return m != nullptr && pthread_mutex_unlock(&m->mutex) == 0 ? TRUE : FALSE;
}

HANDLE CreateSemaphoreW(void*, int initialCount, int maximumCount, const WCHAR* name)
{
	if (name != nullptr || maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount)
		return nullptr;
	return static_cast<KernelObject*>(new SemaphoreObject(initialCount, maximumCount));
}

BOOL ReleaseSemaphore(HANDLE semaphore, int releaseCount, int* previousCount)
{
	auto* s = dynamic_cast<SemaphoreObject*>(Object(semaphore));
	if (s == nullptr || releaseCount <= 0)
		return FALSE;
	// Notified under the lock: a waiter that wakes may close the semaphore
	// at once, and nothing of it may be touched after the lock is released.
	std::lock_guard<std::mutex> guard(s->lock);
	if (releaseCount > s->maximum - s->count)
		return FALSE;
	if (previousCount != nullptr)
		*previousCount = s->count;
	s->count += releaseCount;
	s->posted.notify_all();
	return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
	if (auto* m = dynamic_cast<MutexObject*>(Object(handle)))
		return WaitMutex(*m, milliseconds);
	if (auto* s = dynamic_cast<SemaphoreObject*>(Object(handle)))
		return WaitSemaphore(*s, milliseconds);
	return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE handle)
{
	if (handle == nullptr)
		return FALSE;
	delete Object(handle);
	return TRUE;
}

std::uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned (*start)(void*), void* argument,
	unsigned initFlags, unsigned* threadId)
{
	if (start == nullptr || initFlags != 0)
	{
		errno = EINVAL;
		return 0;
	}
	auto begin = std::make_unique<ThreadStart>();
	begin->start = start;
	begin->argument = argument;
	std::future<unsigned> id = begin->id.get_future();

	pthread_attr_t attributes;
	pthread_attr_init(&attributes);
	pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
	if (stackSize != 0)
		pthread_attr_setstacksize(&attributes, stackSize);
	pthread_t thread;
	const int rc = pthread_create(&thread, &attributes, RunThread, begin.get());
	pthread_attr_destroy(&attributes);
	if (rc != 0)
	{
		errno = rc;
		return 0;
	}
	begin.release(); // the new thread owns it now
	const unsigned tid = id.get();
	if (threadId != nullptr)
		*threadId = tid;
	return reinterpret_cast<std::uintptr_t>(static_cast<KernelObject*>(new ThreadObject));
}

void _endthreadex(unsigned)
{
	pthread_exit(nullptr);
}

void Sleep(DWORD milliseconds)
{
	timespec left;
	left.tv_sec = milliseconds / 1000;
	left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
	while (nanosleep(&left, &left) != 0 && errno == EINTR)
	{
	}
}

DWORD GetCurrentThreadId()
{
	return static_cast<DWORD>(gettid());
}

void GetSystemTimeAsFileTime(FILETIME* out)
{
	timespec now;
	clock_gettime(CLOCK_REALTIME, &now);
	const std::uint64_t ticks = static_cast<std::uint64_t>(now.tv_sec + kFileTimeEpochOffset) * 10000000ULL
		+ static_cast<std::uint64_t>(now.tv_nsec) / 100;
	out->dwLowDateTime = static_cast<DWORD>(ticks);
	out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

std::int64_t _time64(std::int64_t* out)
{
	const std::int64_t now = static_cast<std::int64_t>(time(nullptr));
	if (out != nullptr)
		*out = now;
	return now;
}

int localtime_s(struct tm* out, const std::time_t* time)
{
	if (out == nullptr || time == nullptr || localtime_r(time, out) == nullptr)
		return EINVAL;
	return 0;
}
