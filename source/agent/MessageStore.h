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
//
// The store also keeps the replies in order on their way out. The texts of
// a take stay the key's until the take is settled: they reached the page
// (Delivered), they go back to the front of the queue (PutBack), or the
// session ends (Remove). Until then a take of that key hands out nothing, so
// no newer text can leave ahead of them. Whoever takes must therefore settle
// every take, whatever becomes of the answer that carries it.
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

	// What one take handed out; an empty take has ticket 0 and needs no
	// settling. The store keeps one of its own until the take is settled.
	struct Taken
	{
		std::uint64_t ticket = 0;
		std::list<std::string> texts;
	};

	MessageStore();

	// Also wakes the polling responders that wait for a reply.
	void Push(std::string key, std::string text);
	// The texts queued, not counting those taken and not yet settled.
	std::uint32_t Count(std::string key);
	// The oldest texts, in queue order: every one that fits the take limit
	// of bytes, and at least one. Nothing while an earlier take of the key
	// is not settled.
	Taken Take(std::string key);
	// The take's texts reached the page: the key's next take may go on.
	void Delivered(std::string key, std::uint64_t ticket);
	// The take's texts never reached the page: they go back to the front of
	// the key's queue, in their order, for its next take.
	void PutBack(std::string key, std::uint64_t ticket);
	// Discards the key's texts, also those of a take not settled: a ticket
	// of the key settles nothing after it.
	void Remove(std::string key);

private:
	std::size_t m_takeBytes;
	std::uint64_t m_lastTicket = 0;
};

// Constructed in this order: the lock, the tables, the store.
extern Mutex g_messageStoreMutex;
extern std::map<std::string, std::deque<std::string>> g_messageQueues;
// The takes not yet settled, at most one per key, with their texts for a
// put-back.
extern std::map<std::string, MessageStore::Taken> g_messageHolds;
extern MessageStore g_messageStore;
