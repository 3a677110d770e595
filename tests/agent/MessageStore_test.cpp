#include "agent/AgentState.h"
#include "agent/MessageStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using Texts = std::list<std::string>;

namespace
{

// Takes the key's texts and settles the take as delivered.
Texts TakeOnce(const std::string& key)
{
	MessageStore::Taken taken = g_messageStore.Take(key);
	g_messageStore.Delivered(key, taken.ticket);
	return taken.texts;
}

} // namespace

// Each test runs in its own process: no page yet.
TEST(MessageStore, TakesEveryWaitingTextInOrderAndPerSession)
{
	EXPECT_TRUE(g_sessionId.empty());
	EXPECT_EQ(0, g_sessionActive);
	EXPECT_EQ(0, g_quitRequested);
	// A session never seen reads as none; asking the store about it leaves nothing behind.
	EXPECT_EQ(SessionNone, g_sessionStates["never-opened"]);
	EXPECT_EQ(0u, g_messageStore.Count("a"));
	EXPECT_EQ(Texts{}, TakeOnce("a"));
	EXPECT_EQ(0u, g_messageQueues.count("a"));
	g_messageStore.Push("a", "first");
	g_messageStore.Push("a", "second");
	g_messageStore.Push("b", "other");
	EXPECT_EQ(2u, g_messageStore.Count("a"));
	EXPECT_EQ((Texts{"first", "second"}), TakeOnce("a"));
	EXPECT_EQ(Texts{}, TakeOnce("a"));
	EXPECT_EQ(Texts{"other"}, TakeOnce("b"));
	EXPECT_EQ(0u, g_messageQueues.size());
	EXPECT_EQ(0u, g_messageHolds.size());

	// Remove drops queued texts with their entry.
	g_messageStore.Push("c", "x");
	g_messageStore.Remove("c");
	EXPECT_EQ(0u, g_messageQueues.count("c"));
	g_messageStore.Remove("c");
	EXPECT_EQ(0u, g_messageStore.Count("c"));

	// One take stays within its bytes, never splits a text, and hands out
	// a longer one alone.
	const std::string half(MessageStore::kTakeBytes / 2, 'h');
	const std::string whole(MessageStore::kTakeBytes + 1, 'w');
	for (const std::string& text : { half, half, std::string("x"), whole, std::string("y") })
		g_messageStore.Push("d", text);
	EXPECT_EQ((Texts{half, half}), TakeOnce("d"));
	EXPECT_EQ(Texts{"x"}, TakeOnce("d"));
	EXPECT_EQ(Texts{whole}, TakeOnce("d"));
	EXPECT_EQ(Texts{"y"}, TakeOnce("d"));
	EXPECT_EQ(0u, g_messageQueues.size());
}

// Until a take is settled, nothing of its key is handed out, so nothing
// newer overtakes texts that are put back; a ticket settles only its own
// take, once, and none after the key's removal.
TEST(MessageStore, ATakeHoldsItsKeyUntilSettled)
{
	g_messageStore.Push("p", "1");
	g_messageStore.Push("p", "2");
	g_messageStore.Push("q", "other");
	const MessageStore::Taken first = g_messageStore.Take("p");
	EXPECT_EQ((Texts{"1", "2"}), first.texts);
	g_messageStore.Push("p", "3");
	EXPECT_EQ(Texts{}, g_messageStore.Take("p").texts);
	EXPECT_EQ(Texts{"other"}, TakeOnce("q"));
	// A ticket of no take, or of another key, settles nothing.
	g_messageStore.PutBack("p", first.ticket + 1);
	g_messageStore.Delivered("q", first.ticket);
	EXPECT_EQ(Texts{}, g_messageStore.Take("p").texts);

	g_messageStore.PutBack("p", first.ticket);
	EXPECT_EQ(3u, g_messageStore.Count("p"));
	const MessageStore::Taken again = g_messageStore.Take("p");
	EXPECT_EQ((Texts{"1", "2", "3"}), again.texts);
	// Settled once: the old ticket puts nothing back twice.
	g_messageStore.PutBack("p", first.ticket);
	g_messageStore.Delivered("p", again.ticket);
	g_messageStore.PutBack("p", again.ticket);
	EXPECT_EQ(0u, g_messageStore.Count("p"));

	// The end of the session drops a take not settled.
	g_messageStore.Push("p", "4");
	const MessageStore::Taken last = g_messageStore.Take("p");
	g_messageStore.Remove("p");
	g_messageStore.PutBack("p", last.ticket);
	EXPECT_EQ(0u, g_messageQueues.size());
	EXPECT_EQ(0u, g_messageHolds.size());
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
				for (const std::string& text : TakeOnce("page"))
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
