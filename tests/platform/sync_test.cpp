#include "platform/sync.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs f on another thread and returns its result.
template <typename F>
auto OnOtherThread(F f)
{
	decltype(f()) result{};
	std::thread([&] { result = f(); }).join();
	return result;
}

}

TEST(Sync, MutexIsRecursiveForItsOwnerOnly)
{
	HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
	ASSERT_NE(nullptr, m);
	ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, INFINITE));
	ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, INFINITE));

	EXPECT_EQ(FALSE, OnOtherThread([m] { return ReleaseMutex(m); }));
	EXPECT_EQ(WAIT_TIMEOUT, OnOtherThread([m] { return WaitForSingleObject(m, 20); }));

	EXPECT_EQ(TRUE, ReleaseMutex(m));
	EXPECT_EQ(WAIT_TIMEOUT, OnOtherThread([m] { return WaitForSingleObject(m, 0); }));
	EXPECT_EQ(TRUE, ReleaseMutex(m));
	EXPECT_EQ(FALSE, ReleaseMutex(m));
	EXPECT_EQ(TRUE, OnOtherThread([m] { return WaitForSingleObject(m, 0) == WAIT_OBJECT_0 && ReleaseMutex(m); }));

	EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, INFINITE));
	EXPECT_EQ(FALSE, ReleaseMutex(nullptr));
	EXPECT_EQ(TRUE, CloseHandle(m));
}

TEST(Sync, SemaphoreRefusesAReleasePastItsMaximum)
{
	HANDLE s = CreateSemaphoreW(nullptr, 0, 1, nullptr);
	ASSERT_NE(nullptr, s);
	EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 10));
	int previous = -1;
	EXPECT_EQ(TRUE, ReleaseSemaphore(s, 1, &previous));
	EXPECT_EQ(0, previous);
	EXPECT_EQ(FALSE, ReleaseSemaphore(s, 1, &previous));
	EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));
	EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 0)); // the failed release added nothing
	EXPECT_EQ(FALSE, ReleaseMutex(s));

	// A waiter on another thread is woken by a release.
	std::thread waiter([s] { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, INFINITE)); });
	Sleep(20);
	EXPECT_EQ(TRUE, ReleaseSemaphore(s, 1, nullptr));
	waiter.join();
	CloseHandle(s);
	EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, 2, 1, nullptr));
}

namespace {

std::atomic<unsigned> g_seenId{0};

unsigned RecordId(void*)
{
	g_seenId = GetCurrentThreadId();
	return 0;
}

unsigned EndEarly(void* flag)
{
	static_cast<std::atomic<int>*>(flag)->store(1);
	_endthreadex(0);
}

}

TEST(Sync, ThreadsStartAtOnceAndReportTheirId)
{
	unsigned id = 0;
	std::uintptr_t handle = _beginthreadex(nullptr, 0, RecordId, nullptr, 0, &id);
	ASSERT_NE(0u, handle);
	EXPECT_NE(GetCurrentThreadId(), id);
	EXPECT_EQ(static_cast<DWORD>(gettid()), GetCurrentThreadId());
	for (int i = 0; i < 200 && g_seenId == 0; ++i)
		Sleep(5);
	EXPECT_EQ(id, g_seenId.load());
	EXPECT_EQ(TRUE, CloseHandle(reinterpret_cast<HANDLE>(handle)));

	std::atomic<int> flag{0};
	handle = _beginthreadex(nullptr, 0, EndEarly, &flag, 0, nullptr);
	ASSERT_NE(0u, handle);
	for (int i = 0; i < 200 && flag == 0; ++i)
		Sleep(5);
	EXPECT_EQ(1, flag.load());
	CloseHandle(reinterpret_cast<HANDLE>(handle));
	EXPECT_EQ(0u, _beginthreadex(nullptr, 0, RecordId, nullptr, 4 /* suspended */, nullptr));
}

TEST(Sync, SleepLastsThroughSignals)
{
	struct sigaction action = {};
	action.sa_handler = [](int) {};
	sigemptyset(&action.sa_mask);
	action.sa_flags = 0; // no SA_RESTART: the signal does interrupt nanosleep
	ASSERT_EQ(0, sigaction(SIGALRM, &action, nullptr));
	itimerval timer = {};
	timer.it_value.tv_usec = 20000;
	timer.it_interval.tv_usec = 20000;
	ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
	const auto start = std::chrono::steady_clock::now();
	Sleep(150);
	const auto elapsed = std::chrono::steady_clock::now() - start;
	timer = {};
	setitimer(ITIMER_REAL, &timer, nullptr);
	EXPECT_GE(elapsed, std::chrono::milliseconds(150));
}

TEST(Sync, ClockReadingsAgree)
{
	const std::int64_t before = time(nullptr);
	FILETIME ft;
	GetSystemTimeAsFileTime(&ft);
	std::int64_t stored = 0;
	const std::int64_t now = _time64(&stored);
	EXPECT_EQ(now, stored);
	const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
	const std::int64_t fileTimeSeconds = static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
	EXPECT_LE(before, fileTimeSeconds);
	EXPECT_LE(fileTimeSeconds, now);

	const std::time_t t = 86400 * 365;
	struct tm viaWindows = {}, viaPosix = {};
	ASSERT_EQ(0, localtime_s(&viaWindows, &t));
	localtime_r(&t, &viaPosix);
	EXPECT_EQ(viaPosix.tm_year, viaWindows.tm_year);
	EXPECT_EQ(viaPosix.tm_hour, viaWindows.tm_hour);
	EXPECT_EQ(EINVAL, localtime_s(&viaWindows, nullptr));
}
