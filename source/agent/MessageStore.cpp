#include "agent/MessageStore.h"

#include "agent/PollRecord.h"
#include "base/MutexLock.h"

#include <algorithm>
#include <cstdio>

// One unit, so the three are constructed in the order written.
Mutex g_messageStoreMutex;
std::map<std::string, std::deque<std::string>> g_messageQueues;
MessageStore g_messageStore;

MessageStore::MessageStore()
	: m_takeLimit(1)
{
}

bool MessageStore::Push(std::string key, std::string text)
{
	{
		MutexLock lock(g_messageStoreMutex);
		std::deque<std::string>& queue = g_messageQueues[key];
		if (queue.size() >= kQueueLimit)
		{
			std::fprintf(stderr, "reply dropped: %zu replies wait already\n", queue.size());
			return false;
		}
		queue.push_back(std::move(text));
	}
	// A responder waiting for this session answers at once.
	PollResponders::NotifyPush();
	return true;
}

// Only Push makes a queue and only texts keep it: ids that are merely asked
// about (a poll with an id that was never opened) leave nothing behind.
std::uint32_t MessageStore::Count(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	auto it = g_messageQueues.find(key);
	return it == g_messageQueues.end() ? 0 : static_cast<std::uint32_t>(it->second.size());
}

std::list<std::string> MessageStore::Take(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	std::list<std::string> taken;
	auto it = g_messageQueues.find(key);
	if (it == g_messageQueues.end())
		return taken;
	std::deque<std::string>& queue = it->second;
	const std::size_t n = std::min<std::size_t>(queue.size(), static_cast<std::size_t>(m_takeLimit));
	for (std::size_t i = 0; i < n; ++i)
	{
		taken.push_back(std::move(queue.front()));
		queue.pop_front();
	}
	if (queue.empty())
		g_messageQueues.erase(it);
	return taken;
}

void MessageStore::Remove(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	g_messageQueues.erase(key);
}
