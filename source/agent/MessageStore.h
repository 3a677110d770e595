#pragma once

#include "base/Mutex.h"

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>

// The outbox between the main thread, which produces the replies of a polling
// session, and the responder threads, which deliver them: one first-in
// first-out queue of texts per session id. Every operation holds the store's
// lock for its whole body. Only Push makes a queue, and a queue goes once it
// is empty, so ids that are only asked about leave nothing behind.
class MessageStore
{
public:
	// Replies that may wait for one session: a page takes one per poll and
	// asks one at a time, so only a flood reaches this.
	static constexpr std::size_t kQueueLimit = 128;

	MessageStore();

	// Also wakes the polling responders that wait for a reply. A text for a
	// full queue is dropped (false), with a line on the standard error.
	bool Push(std::string key, std::string text);
	std::uint32_t Count(std::string key);
	// Up to the take limit (1) of the oldest texts, in queue order.
	std::list<std::string> Take(std::string key);
	// Discards the key's texts.
	void Remove(std::string key);

private:
	std::int32_t m_takeLimit;
};

// Constructed in this order: the lock, the table, the store.
extern Mutex g_messageStoreMutex;
extern std::map<std::string, std::deque<std::string>> g_messageQueues;
extern MessageStore g_messageStore;
