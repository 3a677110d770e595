#include "base/Mutex.h"
#include "base/MutexLock.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

TEST(Mutex, OwnerMayRelockAndOthersWait)
{
	Mutex mutex;
	std::atomic<bool> otherHolds{false};
	std::thread other;
	{
		MutexLock outer(mutex);
		{
			MutexLock inner(mutex); // re-entrant for its owner: must not deadlock
		}
		other = std::thread([&] {
			MutexLock lock(mutex);
			otherHolds = true;
		});
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		EXPECT_FALSE(otherHolds); // still held by the outer lock
	}
	other.join();
	EXPECT_TRUE(otherHolds);
}
