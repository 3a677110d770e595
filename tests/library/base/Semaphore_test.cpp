#include "base/Semaphore.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

TEST(Semaphore, CountNeverPassesOne)
{
	Semaphore semaphore(0);
	EXPECT_EQ(0, semaphore.Post());
	EXPECT_EQ(-1, semaphore.Post()); // at the maximum: refused, the count stays 1
	EXPECT_EQ(0, semaphore.Wait());
	std::atomic<bool> taken{false};
	std::thread waiter([&] { taken = semaphore.Wait() == 0; });
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	EXPECT_FALSE(taken); // the refused post left nothing behind
	EXPECT_EQ(0, semaphore.Post());
	waiter.join();
	EXPECT_TRUE(taken);
}
