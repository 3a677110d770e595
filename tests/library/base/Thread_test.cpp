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
		// A deleted running thread keeps only its Thread part while the body
		// winds down: read the rest before the count tells the test it may
		// delete, and poll through that part alone.
		const Thread& base = *this;
		const bool poll = m_poll;
		++g_runs;
		while (poll && base.IsRunning())
			std::this_thread::sleep_for(5ms);
	}

private:
	const bool m_poll;
};

// Each test counts from zero, also when the tests share one process.
class ThreadLifecycle : public testing::Test
{
protected:
	void SetUp() override
	{
		g_runs = 0;
		g_deleted = 0;
	}
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
	// Released twice, the body still runs once.
	auto* kept = new CountingThread;
	std::this_thread::sleep_for(30ms);
	EXPECT_EQ(0, g_runs); // held back until released
	kept->Start();
	kept->Start();
	ASSERT_TRUE(WaitFor([&] { return !kept->IsRunning(); }));
	std::this_thread::sleep_for(30ms);
	EXPECT_EQ(1, g_runs);
	delete kept;

	// An auto-deleting thread may be gone as soon as it is released, so it is
	// released once and never touched again.
	auto* selfDeleting = new CountingThread;
	selfDeleting->SetAutoDelete(true);
	selfDeleting->Start();
	ASSERT_TRUE(WaitFor([] { return g_deleted == 2; }));
	EXPECT_EQ(2, g_runs);
}

TEST_F(ThreadLifecycle, StoppedBeforeReleaseNeverRuns)
{
	auto* kept = new CountingThread;
	kept->Stop();
	EXPECT_FALSE(kept->IsRunning());
	delete kept; // at once: the entry must not need the object any more

	auto* selfDeleting = new CountingThread;
	selfDeleting->SetAutoDelete(true);
	selfDeleting->Stop();
	EXPECT_TRUE(WaitFor([] { return g_deleted == 2; }));

	// Destroyed while waiting for release: the body must not start on the
	// half-destroyed object. In parallel, to share the one-second grace.
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

// Stop while the thread is still starting up (in its first sleep, waiting
// for its release, or just woken) never lets the body run: repeated many
// times, with the stop landing at every moment of the start-up.
TEST_F(ThreadLifecycle, StopRacingTheStartUpNeverRunsTheBody)
{
	const int kThreads = 64;
	const int kRounds = 12;
	for (int round = 0; round < kRounds; ++round)
	{
		g_deleted = 0;
		std::vector<CountingThread*> threads;
		for (int i = 0; i < kThreads; ++i)
		{
			threads.push_back(new CountingThread);
			threads.back()->SetAutoDelete(true);
		}
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
