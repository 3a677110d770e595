#include "agent/MessageStore.h"

#include "base/MutexLock.h"

#include <algorithm>

// One unit, so the three are constructed in the order written.
Mutex g_messageStoreMutex;
std::map<std::string, std::deque<std::string>> g_messageQueues;
MessageStore g_messageStore;

MessageStore::MessageStore()
	: m_takeLimit(1)
{
}

void MessageStore::Push(std::string key, std::string text)
{
	MutexLock lock(g_messageStoreMutex);
	g_messageQueues[key].push_back(std::move(text));
}

std::uint32_t MessageStore::Count(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	return static_cast<std::uint32_t>(g_messageQueues[key].size());
}

std::list<std::string> MessageStore::Take(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	std::deque<std::string>& queue = g_messageQueues[key];
	std::list<std::string> taken;
	const std::size_t n = std::min<std::size_t>(queue.size(), static_cast<std::size_t>(m_takeLimit));
	for (std::size_t i = 0; i < n; ++i)
	{
		taken.push_back(std::move(queue.front()));
		queue.pop_front();
	}
	return taken;
}

void MessageStore::Remove(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	auto it = g_messageQueues.emplace(key, std::deque<std::string>()).first;
	if (!it->second.empty())
		g_messageQueues.erase(it);
}
