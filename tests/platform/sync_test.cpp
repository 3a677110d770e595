#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

template <typename F>
auto OnOtherThread(F f)
{
	decltype(f()) result{};
	std::thread([&] { result = f(); }).join();
	return result;
}

std::atomic<unsigned> g_seenId{0};

unsigned RecordId(void*)
{
	g_seenId = GetCurrentThreadId();
	return 0;
}

}

TEST(Sync, MutexIsRecursiveForItsOwnerOnly)
{
	HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
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
	CloseHandle(m);
}

TEST(Sync, ThreadsStartAtOnceAndReportTheirKernelId)
{
	unsigned id = 0;
	const std::uintptr_t handle = _beginthreadex(nullptr, 0, RecordId, nullptr, 0, &id);
	ASSERT_NE(0u, handle);
	EXPECT_NE(GetCurrentThreadId(), id);
	EXPECT_EQ(static_cast<DWORD>(gettid()), GetCurrentThreadId());
	for (int i = 0; i < 400 && g_seenId == 0; ++i)
		Sleep(5);
	EXPECT_EQ(id, g_seenId.load());
	CloseHandle(reinterpret_cast<HANDLE>(handle));
}

TEST(Sync, SleepLastsThroughSignals)
{
	struct sigaction action = {};
	action.sa_handler = [](int) {};
	sigemptyset(&action.sa_mask); // no SA_RESTART: each signal interrupts nanosleep
	ASSERT_EQ(0, sigaction(SIGALRM, &action, nullptr));
	itimerval timer = {};
	timer.it_value.tv_usec = timer.it_interval.tv_usec = 20000;
	ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
	const auto start = std::chrono::steady_clock::now();
	Sleep(150);
	const auto elapsed = std::chrono::steady_clock::now() - start;
	timer = {};
	setitimer(ITIMER_REAL, &timer, nullptr);
	EXPECT_GE(elapsed, std::chrono::milliseconds(150));
	EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
}

// The waiter may close the semaphore as soon as it wakes (a finished thread frees its
// start signal): a broadcast after the unlock reached freed memory (TSan shows it).
TEST(Sync, SemaphoreMayBeClosedByTheWaiterItWakes)
{
	for (int i = 0; i < 200; ++i)
	{
		HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
		ASSERT_NE(nullptr, semaphore);
		std::thread waiter([semaphore] {
			WaitForSingleObject(semaphore, INFINITE);
			CloseHandle(semaphore);
		});
		EXPECT_EQ(TRUE, ReleaseSemaphore(semaphore, 1, nullptr));
		waiter.join();
	}
}
