#include "agent/Watchdog.h"
#include "agent/AgentState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace
{

// Runs the watchdog with the time-out; the action, 150 ms in, may end it.
// Its run time in milliseconds.
long RunWatchdog(WatchdogRecord& record, int timeoutMs, const std::function<void()>& action)
{
	record.timeoutMs = timeoutMs;
	record.running = 1;
	const auto start = std::chrono::steady_clock::now();
	std::thread watchdog(WatchdogThread, &record);
	std::this_thread::sleep_for(std::chrono::milliseconds(150));
	action();
	watchdog.join();
	EXPECT_EQ(0, record.running);
	return static_cast<long>(
		std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace

// Each test runs in its own process, so the quit flag starts clear.
TEST(Watchdog, NoPageInTimeSetsTheQuitFlag)
{
	WatchdogRecord record;
	EXPECT_GE(RunWatchdog(record, 500, [] {}), 500);
	EXPECT_EQ(1, g_quitRequested);
}

TEST(Watchdog, AConnectedPageOrAStopEndsItWithoutQuitting)
{
	WatchdogRecord record;
	EXPECT_LT(RunWatchdog(record, 60000, [&] { record.clientConnected = 1; }), 5000);
	record.clientConnected = 0;
	EXPECT_LT(RunWatchdog(record, 60000, [&] { record.running = 0; }), 5000);
	EXPECT_EQ(0, g_quitRequested);
}
