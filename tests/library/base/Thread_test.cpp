#include "base/Thread.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_runs{0};
std::atomic<int> g_deleted{0};

class CountingThread : public Thread
{
public:
	explicit CountingThread(bool pollUntilStopped = false)
		: Thread(false)
		, m_poll(pollUntilStopped)
	{
	}
	~CountingThread() override { ++g_deleted; }
	void Run() override
	{
		++g_runs;
		if (!m_poll)
			return;
		// Deleting a running thread leaves only its Thread part alive while the
		// body winds down, so poll through that part alone.
		const Thread& base = *this;
		while (base.IsRunning())
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}

private:
	const bool m_poll;
};

template <typename Predicate>
bool WaitFor(Predicate done)
{
	for (int i = 0; i < 400 && !done(); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	return done();
}

}

TEST(Thread, RunsItsBodyOnceAfterRelease)
{
	CountingThread thread;
	std::this_thread::sleep_for(std::chrono::milliseconds(30));
	EXPECT_EQ(0, g_runs); // held back until released
	EXPECT_TRUE(thread.IsRunning());
	thread.Start();
	thread.Start();
	ASSERT_TRUE(WaitFor([&] { return !thread.IsRunning(); }));
	std::this_thread::sleep_for(std::chrono::milliseconds(30));
	EXPECT_EQ(1, g_runs);
}

TEST(Thread, StoppedBeforeReleaseNeverRuns)
{
	auto* kept = new CountingThread;
	kept->Stop();
	EXPECT_FALSE(kept->IsRunning());
	delete kept; // at once: the entry must not need the object any more

	auto* selfDeleting = new CountingThread;
	selfDeleting->SetAutoDelete(true);
	selfDeleting->Stop();
	EXPECT_TRUE(WaitFor([] { return g_deleted == 2; }));

	// Destroyed while still waiting for release: the body must not start on
	// the half-destroyed object. Several at once keep the one-second grace short.
	std::thread destroyers[4];
	for (auto& d : destroyers)
		d = std::thread([] { CountingThread unreleased; });
	for (auto& d : destroyers)
		d.join();
	std::this_thread::sleep_for(std::chrono::milliseconds(30));
	EXPECT_EQ(0, g_runs);
	EXPECT_EQ(6, g_deleted);
}

TEST(Thread, AutoDeleteFreesTheObjectAfterItsBody)
{
	auto* thread = new CountingThread;
	thread->SetAutoDelete(true);
	EXPECT_TRUE(thread->AutoDelete());
	thread->Start();
	EXPECT_TRUE(WaitFor([] { return g_deleted == 1; }));
	EXPECT_EQ(1, g_runs);
}

TEST(Thread, DestructorGivesARunningBodyOneSecond)
{
	auto* finished = new CountingThread;
	finished->Start();
	ASSERT_TRUE(WaitFor([&] { return !finished->IsRunning(); }));
	auto start = Clock::now();
	delete finished;
	EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

	auto* polling = new CountingThread(true);
	polling->Start();
	ASSERT_TRUE(WaitFor([] { return g_runs == 2; }));
	start = Clock::now();
	delete polling; // clears the flag the body polls, then waits a second
	EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));

	auto* stopped = new CountingThread(true);
	stopped->Start();
	ASSERT_TRUE(WaitFor([] { return g_runs == 3; }));
	stopped->Stop();
	EXPECT_FALSE(stopped->IsRunning());
	std::this_thread::sleep_for(std::chrono::milliseconds(30)); // let the body see it
	delete stopped;
}
