#include "base/Thread.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<int> g_runs{0};
std::atomic<int> g_deleted{0};

class CountingThread : public Thread
{
public:
	explicit CountingThread(bool pollUntilStopped = false) : Thread(false), m_poll(pollUntilStopped) {}
	~CountingThread() override { ++g_deleted; }
	void Run() override
	{
		// A deleted running thread keeps only its Thread part while the body winds
		// down: read the rest before the count lets the test delete it.
		const Thread& base = *this;
		const bool poll = m_poll;
		++g_runs;
		while (poll && base.IsRunning())
			std::this_thread::sleep_for(5ms);
	}

private:
	const bool m_poll;
};

CountingThread* SelfDeleting()
{
	auto* thread = new CountingThread;
	thread->SetAutoDelete(true);
	return thread;
}

// Each test counts from zero, also when the tests share one process.
class ThreadLifecycle : public testing::Test
{
protected:
	void SetUp() override { g_runs = g_deleted = 0; }
};

template <typename Predicate>
bool WaitFor(Predicate done)
{
	for (int i = 0; i < 400 && !done(); ++i)
		std::this_thread::sleep_for(5ms);
	return done();
}

}

TEST_F(ThreadLifecycle, RunsItsBodyOnceAfterReleaseThenDeletesItself)
{
	auto* kept = new CountingThread;
	std::this_thread::sleep_for(30ms);
	EXPECT_EQ(0, g_runs); // held back until released
	kept->Start();
	kept->Start(); // released twice, the body still runs once
	ASSERT_TRUE(WaitFor([&] { return !kept->IsRunning(); }));
	std::this_thread::sleep_for(30ms);
	EXPECT_EQ(1, g_runs);
	delete kept;
	SelfDeleting()->Start(); // may be gone once released: never touched again
	ASSERT_TRUE(WaitFor([] { return g_deleted == 2; }));
	EXPECT_EQ(2, g_runs);
}

TEST_F(ThreadLifecycle, StoppedBeforeReleaseNeverRuns)
{
	auto* kept = new CountingThread;
	kept->Stop();
	EXPECT_FALSE(kept->IsRunning());
	delete kept; // at once: the entry must not need the object any more
	SelfDeleting()->Stop();
	EXPECT_TRUE(WaitFor([] { return g_deleted == 2; }));

	// Destroyed while waiting for release: the body must not start on the half-destroyed
	// object. In parallel, to share the one-second grace.
	std::thread a([] { CountingThread unreleased; }), b([] { CountingThread unreleased; });
	a.join();
	b.join();
	std::this_thread::sleep_for(30ms);
	EXPECT_EQ(0, g_runs);
}

TEST_F(ThreadLifecycle, DestructorGivesOnlyARunningBodyOneSecond)
{
	auto* finished = new CountingThread;
	finished->Start();
	ASSERT_TRUE(WaitFor([&] { return !finished->IsRunning(); }));
	auto start = std::chrono::steady_clock::now();
	delete finished;
	EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);

	auto* polling = new CountingThread(true);
	polling->Start();
	ASSERT_TRUE(WaitFor([] { return g_runs == 2; }));
	start = std::chrono::steady_clock::now();
	delete polling; // clears the flag the body polls, then waits a second
	const auto waited = std::chrono::steady_clock::now() - start;
	EXPECT_GE(waited, 1000ms);
	EXPECT_LT(waited, 3000ms);
}

// A stop landing at any moment of the start-up (first sleep, waiting for the
// release, just woken) never lets the body run.
TEST_F(ThreadLifecycle, StopRacingTheStartUpNeverRunsTheBody)
{
	const int kThreads = 64;
	for (int round = 0; round < 12; ++round)
	{
		g_deleted = 0;
		std::vector<CountingThread*> threads;
		for (int i = 0; i < kThreads; ++i)
			threads.push_back(SelfDeleting());
		// Spread the stops over the 5 ms start-up sleep and past it.
		for (int i = 0; i < kThreads; ++i)
		{
			std::this_thread::sleep_for(std::chrono::microseconds(150 * (i % 64)) / kThreads);
			if (i % 8 == round % 8)
				std::this_thread::sleep_for(std::chrono::microseconds(500 * (round + 1)));
			threads[i]->Stop();
		}
		ASSERT_TRUE(WaitFor([&] { return g_deleted == kThreads; })) << g_deleted;
		ASSERT_EQ(0, g_runs) << "round " << round;
	}
}
