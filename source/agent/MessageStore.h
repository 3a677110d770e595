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
// lock for its whole body. Only Push and PutBack make a queue, and a queue
// goes once it is empty, so ids that are only asked about leave nothing
// behind.
class MessageStore
{
public:
	// Replies that may wait for one page: while this many wait, the page's
	// records are not acted on until a poll takes some, so the queue stays
	// near this and no reply is ever dropped.
	static constexpr std::size_t kQueueLimit = 128;
	// The most text one take hands out, so that one poll answer stays within
	// about this size; a longer text is handed out alone, never split.
	static constexpr std::size_t kTakeBytes = 1 << 20;

	MessageStore();

	// Also wakes the polling responders that wait for a reply.
	void Push(std::string key, std::string text);
	std::uint32_t Count(std::string key);
	// The oldest texts, in queue order: every one that fits the take limit
	// of bytes, and at least one.
	std::list<std::string> Take(std::string key);
	// Texts taken that never reached the page go back to the front of the
	// key's queue, in their order.
	void PutBack(std::string key, std::list<std::string> texts);
	// Discards the key's texts.
	void Remove(std::string key);

private:
	std::size_t m_takeBytes;
};

// Constructed in this order: the lock, the table, the store.
extern Mutex g_messageStoreMutex;
extern std::map<std::string, std::deque<std::string>> g_messageQueues;
extern MessageStore g_messageStore;
