#include "agent/AgentState.h"
#include "agent/MessageStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using Texts = std::list<std::string>;

// Each test runs in its own process: no page yet.
TEST(MessageStore, TakesEveryWaitingTextInOrderAndPerSession)
{
	EXPECT_TRUE(g_sessionId.empty());
	EXPECT_EQ(0, g_sessionActive);
	EXPECT_EQ(0, g_quitRequested);
	// A session never seen reads as none; asking the store about it leaves nothing behind.
	EXPECT_EQ(SessionNone, g_sessionStates["never-opened"]);
	EXPECT_EQ(0u, g_messageStore.Count("a"));
	EXPECT_EQ(Texts{}, g_messageStore.Take("a"));
	EXPECT_EQ(0u, g_messageQueues.count("a"));
	g_messageStore.Push("a", "first");
	g_messageStore.Push("a", "second");
	g_messageStore.Push("b", "other");
	EXPECT_EQ(2u, g_messageStore.Count("a"));
	EXPECT_EQ((Texts{"first", "second"}), g_messageStore.Take("a"));
	EXPECT_EQ(Texts{}, g_messageStore.Take("a"));
	EXPECT_EQ(Texts{"other"}, g_messageStore.Take("b"));
	EXPECT_EQ(0u, g_messageQueues.size());

	// Remove drops queued texts with their entry.
	g_messageStore.Push("c", "x");
	g_messageStore.Remove("c");
	EXPECT_EQ(0u, g_messageQueues.count("c"));
	g_messageStore.Remove("c");
	EXPECT_EQ(0u, g_messageStore.Count("c"));

	// One take stays within its bytes, never splits a text, and hands out
	// a longer one alone; texts put back come first again, in their order.
	const std::string half(MessageStore::kTakeBytes / 2, 'h');
	const std::string whole(MessageStore::kTakeBytes + 1, 'w');
	for (const std::string& text : { half, half, std::string("x"), whole, std::string("y") })
		g_messageStore.Push("d", text);
	EXPECT_EQ((Texts{half, half}), g_messageStore.Take("d"));
	Texts next = g_messageStore.Take("d");
	EXPECT_EQ(Texts{"x"}, next);
	g_messageStore.PutBack("d", (Texts{"v", "w"}));
	EXPECT_EQ((Texts{"v", "w"}), g_messageStore.Take("d"));
	EXPECT_EQ(Texts{whole}, g_messageStore.Take("d"));
	g_messageStore.PutBack("e", Texts{});
	EXPECT_EQ(0u, g_messageQueues.count("e"));
	g_messageStore.PutBack("e", Texts{"again"});
	EXPECT_EQ((Texts{"again"}), g_messageStore.Take("e"));
	EXPECT_EQ(Texts{"y"}, g_messageStore.Take("d"));
	EXPECT_EQ(0u, g_messageQueues.size());
}

// One thread pushes, three count and take, one removes another session's
// texts: every text is taken exactly once, each taker sees them in order.
TEST(MessageStore, PushAndTakeFromSeveralThreads)
{
	constexpr int kTexts = 20000;
	std::atomic<int> taken{0};
	std::atomic<bool> pushing{true};
	std::vector<int> seen(kTexts, 0);
	std::vector<std::thread> threads;
	std::vector<int> ordered(3, 1);
	threads.emplace_back([&] {
		for (int i = 0; i < kTexts; ++i)
		{
			while (g_messageStore.Count("page") >= MessageStore::kQueueLimit)
				std::this_thread::yield();
			g_messageStore.Push("page", std::to_string(i));
			g_messageStore.Push("noise", "n");
		}
		pushing = false;
	});
	threads.emplace_back([&] {
		while (pushing)
			g_messageStore.Remove("noise");
	});
	for (int t = 0; t < 3; ++t)
	{
		threads.emplace_back([&, t] {
			for (int last = -1; taken < kTexts; std::this_thread::yield())
			{
				if (g_messageStore.Count("page") == 0)
					continue;
				for (const std::string& text : g_messageStore.Take("page"))
				{
					const int i = std::stoi(text);
					ordered[t] = ordered[t] && i > last;
					last = i;
					++seen[i];
					++taken;
				}
			}
		});
	}
	for (std::thread& thread : threads)
		thread.join();
	EXPECT_EQ(kTexts, taken);
	EXPECT_EQ(std::vector<int>(kTexts, 1), seen);
	EXPECT_EQ(std::vector<int>(3, 1), ordered);
	EXPECT_EQ(0u, g_messageStore.Count("page"));
}
