#include "agent/MessageStore.h"

#include "agent/PollRecord.h"
#include "base/MutexLock.h"

#include <iterator>

// One unit, so the three are constructed in the order written.
Mutex g_messageStoreMutex;
std::map<std::string, std::deque<std::string>> g_messageQueues;
MessageStore g_messageStore;

MessageStore::MessageStore()
	: m_takeBytes(kTakeBytes)
{
}

void MessageStore::Push(std::string key, std::string text)
{
	{
		MutexLock lock(g_messageStoreMutex);
		g_messageQueues[key].push_back(std::move(text));
	}
	// A responder waiting for this session answers at once.
	PollResponders::NotifyPush();
}

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
	for (std::size_t bytes = 0; !queue.empty();)
	{
		bytes += queue.front().size();
		if (!taken.empty() && bytes > m_takeBytes)
			break;
		taken.push_back(std::move(queue.front()));
		queue.pop_front();
	}
	if (queue.empty())
		g_messageQueues.erase(it);
	return taken;
}

void MessageStore::PutBack(std::string key, std::list<std::string> texts)
{
	if (texts.empty())
		return;
	{
		MutexLock lock(g_messageStoreMutex);
		std::deque<std::string>& queue = g_messageQueues[key];
		queue.insert(queue.begin(), std::make_move_iterator(texts.begin()), std::make_move_iterator(texts.end()));
	}
	PollResponders::NotifyPush();
}

void MessageStore::Remove(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	g_messageQueues.erase(key);
}
