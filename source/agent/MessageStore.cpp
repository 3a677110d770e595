#include "agent/MessageStore.h"

#include "agent/PollRecord.h"
#include "base/MutexLock.h"

#include <iterator>

// One unit, so these are constructed in the order written.
Mutex g_messageStoreMutex;
std::map<std::string, std::deque<std::string>> g_messageQueues;
std::map<std::string, MessageStore::Taken> g_messageHolds;
MessageStore g_messageStore;

namespace
{

// The key's hold of that ticket, or none: a ticket of a take already settled,
// or of a session that has ended, finds nothing. Under the lock.
std::map<std::string, MessageStore::Taken>::iterator FindHold(const std::string& key, std::uint64_t ticket)
{
	auto it = g_messageHolds.find(key);
	return it != g_messageHolds.end() && it->second.ticket == ticket ? it : g_messageHolds.end();
}

} // namespace

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

MessageStore::Taken MessageStore::Take(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	Taken taken;
	auto it = g_messageQueues.find(key);
	if (it == g_messageQueues.end() || g_messageHolds.count(key) != 0)
		return taken;
	std::deque<std::string>& queue = it->second;
	if (queue.empty())
	{
		g_messageQueues.erase(it);
		return taken;
	}
	for (std::size_t bytes = 0; !queue.empty();)
	{
		bytes += queue.front().size();
		if (!taken.texts.empty() && bytes > m_takeBytes)
			break;
		taken.texts.push_back(std::move(queue.front()));
		queue.pop_front();
	}
	if (queue.empty())
		g_messageQueues.erase(it);
	taken.ticket = ++m_lastTicket;
	g_messageHolds.emplace(std::move(key), taken);
	return taken;
}

void MessageStore::Delivered(std::string key, std::uint64_t ticket)
{
	{
		MutexLock lock(g_messageStoreMutex);
		auto hold = FindHold(key, ticket);
		if (hold == g_messageHolds.end())
			return;
		g_messageHolds.erase(hold);
	}
	// A responder that found the key held looks again.
	PollResponders::NotifyPush();
}

void MessageStore::PutBack(std::string key, std::uint64_t ticket)
{
	{
		MutexLock lock(g_messageStoreMutex);
		auto hold = FindHold(key, ticket);
		if (hold == g_messageHolds.end())
			return;
		std::list<std::string>& texts = hold->second.texts;
		std::deque<std::string>& queue = g_messageQueues[key];
		queue.insert(queue.begin(), std::make_move_iterator(texts.begin()), std::make_move_iterator(texts.end()));
		g_messageHolds.erase(hold);
	}
	PollResponders::NotifyPush();
}

void MessageStore::Remove(std::string key)
{
	MutexLock lock(g_messageStoreMutex);
	g_messageQueues.erase(key);
	g_messageHolds.erase(key);
}
