#include "agent/Watchdog.h"
#include "agent/AgentState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start)
{
	return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

} // namespace

// Each test runs in its own process, so the quit flag starts clear.
TEST(Watchdog, NoPageInTimeSetsTheQuitFlag)
{
	WatchdogRecord record;
	record.timeoutMs = 500;
	record.running = 1;
	const Clock::time_point start = Clock::now();
	std::thread watchdog(WatchdogThread, &record);
	watchdog.join();
	EXPECT_GE(MillisecondsSince(start), 500);
	EXPECT_EQ(1, g_quitRequested);
	EXPECT_EQ(0, record.running);
}

TEST(Watchdog, AConnectedPageOrAStopEndsItWithoutQuitting)
{
	WatchdogRecord record;
	record.timeoutMs = 60000;
	record.running = 1;
	Clock::time_point start = Clock::now();
	std::thread first(WatchdogThread, &record);
	std::this_thread::sleep_for(std::chrono::milliseconds(150));
	record.clientConnected = 1;
	first.join();
	EXPECT_LT(MillisecondsSince(start), 5000);
	EXPECT_EQ(0, record.running);

	record.clientConnected = 0;
	record.running = 1;
	start = Clock::now();
	std::thread second(WatchdogThread, &record);
	std::this_thread::sleep_for(std::chrono::milliseconds(150));
	record.running = 0;
	second.join();
	EXPECT_LT(MillisecondsSince(start), 5000);
	EXPECT_EQ(0, g_quitRequested);
}
