#pragma once

#include "agent/PollPacket.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

class ISocketHandler;
class WebSocketServer;
struct PRThread;

// The writer that sends a responder's answer.
enum class PollAnswerKind
{
	// A "42" record with a message.
	Poll,
	// The "3" record: nothing came.
	Control,
	// The "6" record: the page closes the session; the connection ends.
	Close,
};

// What a responder decided for its held GET. The responder never touches the
// connection: the loop thread sends the answer if the connection with that
// uid still exists and still holds that poll. The loop thread also settles
// the take of the replies the answer carries: once the answer has been
// handed on whole, or, when it can no longer be sent or its connection fails
// first, by putting the replies back for the session's next poll.
struct PollAnswer
{
	int connectionUid = 0;
	std::uint64_t pollId = 0;
	PollAnswerKind kind = PollAnswerKind::Control;
	std::string body;
	std::string sid;
	// The message store's take of the replies in the body; 0 when none.
	std::uint64_t ticket = 0;
};

// One held GET and its responder thread. The loop thread makes and owns it
// (one std::unique_ptr, in its session's queue or among the retired polls);
// destroying it stops the responder and waits for it. The responder reads
// the fixed fields and the flags.
struct PollRecord
{
	PollRecord() = default;
	~PollRecord();
	PollRecord(const PollRecord&) = delete;
	PollRecord& operator=(const PollRecord&) = delete;

	// The responder waits; cleared to stop it. Set before its thread starts.
	std::atomic<bool> running{ false };
	// Joinable; null before the start, after a failed start and once joined.
	PRThread* thread = nullptr;
	// The connection that holds the GET; null once it is gone. Loop thread only.
	WebSocketServer* server = nullptr;
	// The longest wait for a reply.
	std::int32_t waitMs = 1000;
	// The responder has finished; set last.
	std::atomic<bool> done{ false };
	// Answer "6" instead of waiting.
	std::atomic<bool> closing{ false };
	// The connection went away: nothing is sent.
	std::atomic<bool> serverGone{ false };
	std::string sid;

	// Fixed before the thread starts.
	std::uint64_t id = 0;
	int serverUid = 0;
	// Woken when an answer is ready; lives longer than every responder.
	ISocketHandler* handler = nullptr;
	PollPacket::Framing framing;
};

// The responder threads and what they share: the wake-up signal of the
// message store and the outbox of decided answers.
namespace PollResponders
{

// Starts the record's responder; false, with the record marked done, when
// no thread can be made.
bool Start(PollRecord* record);
// Asks the responder to end its wait; with closing it answers "6".
void Stop(PollRecord* record, bool closing = false);
// Waits until the responder has ended.
void Join(PollRecord* record);

// The body of a responder thread.
void Run(PollRecord* record);

// A message was queued: waiting responders look at the store at once.
void NotifyPush();

// The answers decided since the last call, oldest first.
std::deque<PollAnswer> TakeAnswers();

} // namespace PollResponders
