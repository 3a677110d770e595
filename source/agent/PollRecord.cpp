#include "agent/PollRecord.h"

#include "agent/MessageStore.h"
#include "sockets/ISocketHandler.h"

#include <prthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <list>
#include <mutex>

namespace PollResponders
{
namespace
{

using Clock = std::chrono::steady_clock;

// Counts the pushes to the message store and stop requests; a responder
// sleeps until it changes or its step ends.
std::mutex g_signalMutex;
std::condition_variable g_signal;
std::uint64_t g_signalCount = 0;

std::mutex g_outboxMutex;
std::deque<PollAnswer> g_outbox;

void Signal()
{
	{
		std::lock_guard<std::mutex> lock(g_signalMutex);
		++g_signalCount;
	}
	g_signal.notify_all();
}

std::uint64_t SignalCount()
{
	std::lock_guard<std::mutex> lock(g_signalMutex);
	return g_signalCount;
}

void WaitForSignal(std::uint64_t seen, Clock::time_point until)
{
	std::unique_lock<std::mutex> lock(g_signalMutex);
	g_signal.wait_until(lock, until, [seen] { return g_signalCount != seen; });
}

void ThreadBody(void* arg)
{
	Run(static_cast<PollRecord*>(arg));
}

// Waits for replies of the record's session in steps of 100 ms, at most
// until the wait period less one step, and takes every one waiting (up to the
// store's take limit). A stop ends the wait, but what waits already is taken
// for the answer; a close takes nothing.
MessageStore::Taken WaitForMessages(PollRecord& record)
{
	const auto step = std::chrono::milliseconds(100);
	const int steps = (record.waitMs + 99) / 100 - 1;
	const Clock::time_point deadline = Clock::now() + step * (steps > 0 ? steps : 0);
	for (;;)
	{
		const std::uint64_t seen = SignalCount();
		if (record.closing)
			return {};
		MessageStore::Taken taken = g_messageStore.Take(record.sid);
		if (!taken.texts.empty() || !record.running)
			return taken;
		const Clock::time_point now = Clock::now();
		if (now >= deadline)
			return {};
		WaitForSignal(seen, std::min(now + step, deadline));
	}
}

} // namespace

bool Start(PollRecord* record)
{
	record->running = true;
	record->thread = PR_CreateThread(PR_USER_THREAD, ThreadBody, record, PR_PRIORITY_NORMAL, PR_LOCAL_THREAD,
		PR_JOINABLE_THREAD, 0);
	if (record->thread != nullptr)
		return true;
	record->running = false;
	record->done = true;
	return false;
}

void Stop(PollRecord* record, bool closing)
{
	if (closing)
		record->closing = true;
	record->running = false;
	Signal();
}

void Join(PollRecord* record)
{
	if (record->thread == nullptr)
		return;
	PR_JoinThread(record->thread);
	record->thread = nullptr;
}

void Run(PollRecord* record)
{
	if (record == nullptr)
		return;
	if (!record->sid.empty())
	{
		const MessageStore::Taken taken = WaitForMessages(*record);
		PollAnswer answer{ record->serverUid, record->id, PollAnswerKind::Control, std::string(), record->sid,
			taken.ticket };
		if (record->closing)
		{
			answer.kind = PollAnswerKind::Close;
			answer.body = PollPacket::EncodePacket("6", "", record->framing);
		}
		else if (!taken.texts.empty())
		{
			answer.kind = PollAnswerKind::Poll;
			answer.body = PollPacket::EncodeMessages("42", taken.texts, record->framing);
		}
		else
		{
			std::printf("closing message[%s][%ld][%s] \n", record->serverGone ? "true" : "false",
				static_cast<long>(reinterpret_cast<std::intptr_t>(PR_GetCurrentThread())), record->sid.c_str());
			std::fflush(stdout);
			if (!record->serverGone)
				answer.body = PollPacket::EncodePacket("3", "", record->framing);
		}
		// A take goes to the loop thread even when the connection has gone:
		// it settles it.
		if ((!record->serverGone && !answer.body.empty()) || answer.ticket != 0)
		{
			{
				std::lock_guard<std::mutex> lock(g_outboxMutex);
				g_outbox.push_back(std::move(answer));
			}
			if (record->handler != nullptr)
				record->handler->Wakeup();
		}
	}
	record->running = false;
	record->done = true;
}

void NotifyPush()
{
	Signal();
}

std::deque<PollAnswer> TakeAnswers()
{
	std::deque<PollAnswer> answers;
	std::lock_guard<std::mutex> lock(g_outboxMutex);
	answers.swap(g_outbox);
	return answers;
}

} // namespace PollResponders

PollRecord::~PollRecord()
{
	PollResponders::Stop(this);
	PollResponders::Join(this);
}
