#pragma once

#include "agent/PollPacket.h"
#include "agent/PollRecord.h"
#include "agent/WebSocket.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>

class MemFile;
struct PRLock;

// The server side of the long-polling transport on "/tessark.io/": a GET
// without "sid" opens a session, the first GET with it connects ("40"),
// later GETs are held until a reply of the session is queued in the message
// store or about 900 ms pass, and POSTs carry the page's packets. Who may do
// what is PageSession's rule: one page at a time, and only the connected
// page's requests act; everything else is refused with 403.
//
// Each held GET has a responder thread that waits for the replies and
// decides the answer, but never touches the connection: it leaves the answer
// in an outbox and wakes the handler, and the loop thread sends it. A poll
// answer carries every reply waiting, up to the message store's take limit.
// The store hands out nothing more of the page until that take is settled,
// and the loop thread settles every take: the answer's connection keeps it
// until the whole answer has been handed to the system, and then it is the
// client's; a connection that fails before that (the page's client reset
// it), or an answer that can no longer be sent, gives the replies back to
// the front of the page's queue, for its next poll. So the page's replies
// leave in the order they were made. A connection whose answer the system
// takes no byte of for the request deadline is ended, so that a client that
// stops reading cannot hold the page's replies.
//
// Every record of the page's POSTs is acted on, in order, a slice at a time:
// a POST waits on its connection (nothing after it is served) until all its
// records have been acted on, and is then answered "ok"; the page's client
// sends its next POST only then, so a busy agent paces the page instead of
// dropping its work. While the replies waiting for the page are at the
// message store's limit, its records wait until a poll takes some. A POST
// whose client closes its connection meanwhile goes with the connection:
// nobody waits for the rest of its records.
//
// The server loop therefore turns with HasWork() in mind (no waiting in
// select while there is work), calls OnLoopTurn after every turn, and
// StopResponders when it ends, before the handler is destroyed.
//
// Everything here runs on the loop thread unless said otherwise.
class WebSocketServer : public WebSocket
{
public:
	// Finished polls kept in the session's queue; the oldest beyond this are
	// freed when a new poll is queued.
	static constexpr std::size_t kFinishedPollLimit = 64;
	// What one loop turn does of the page's records at most: so many
	// records, or about so much time, whichever comes first.
	static constexpr std::size_t kSliceRecords = 64;
	static constexpr std::chrono::milliseconds kSliceTime{ 50 };
	// A POST of the page without a body.
	static constexpr Refusal kNoBody{ "404", "Not found", false };
	// No responder thread could be started for a held GET.
	static constexpr Refusal kNoResponder{ "404", "Not Found", false };

	explicit WebSocketServer(ISocketHandler& handler);
	~WebSocketServer() override;

	void OnFirst() override;
	void OnRequestHeader(const std::string& name, const std::string& value) override;
	void OnRequestHeadersEnd() override;
	void OnRequestBody(const char* data, std::size_t length) override;
	void OnRequestComplete() override;
	// Every answer written has been handed to the system.
	void OnWriteComplete() override;
	// Also empties the body and forgets the held GET.
	void ResetRequest() override;
	// After each polling answer, and at the end of every request head.
	virtual void OnResponseSent() = 0;

	// After every turn of the loop: sends the answers the responders have
	// decided, acts on a slice of the page's records, and ends the session
	// of a page that has gone.
	static void OnLoopTurn();
	// Records of the page wait and may be acted on now: the loop must not
	// wait in select.
	static bool HasWork();
	// Stops every responder, waits for all of them, frees every poll and
	// ends the page's session.
	static void StopResponders();

	static std::map<std::string, std::string> ParseQueryString(const std::string& query);
	bool IsJsonp() const;
	static std::string NewSessionId();
	std::string EncodePacket(std::string type, std::string data) const;
	std::string EncodeMessages(std::string type, std::list<std::string> messages) const;

	void SendHandshakeResponse(std::string body);
	void SendPollResponse(std::string body);
	void SendControlResponse(std::string body);
	void SendAckResponse(std::string body);
	void SendCloseResponse(std::string body);
	// One text frame on a WebSocket connection; nothing for an empty text.
	void SendToClient(std::string text);

	std::string datetime2httpdate(const std::string& localDateTime);
	std::string CurrentDateTime() const;

	const std::string& GetSid() const { return m_sid; }

	// Polls held in the session's queue or waiting to be reaped (for tests
	// of bounded memory).
	static std::size_t PollRecordCount();

private:
	// The query keys of the request: "sid", "j".
	void ReadQuery();
	void OpenSession();
	void ConnectSession();
	void RegisterPoll();
	void OnPost();
	// The POST body as the page's text: one byte per character.
	std::string TakeBody();
	void SendResponse(const char* contentType, const std::string& body, bool headFirst);
	// The poll answer just written: its take stays here until the
	// connection has handed the answer's last byte to the system.
	void KeepReplies(const PollAnswer& answer);
	// Settles the takes of the answers handed on whole; with ending (the
	// connection goes), the others' replies go back.
	void SettleAnswers(bool ending);
	// Ends the connection when the system has taken no byte of its answers
	// for the request deadline.
	void WatchAnswers(std::chrono::steady_clock::time_point now);
	// Sends the answers the responders have decided; the replies of those
	// that can no longer be sent go back to the store.
	static void SendAnswers();
	// Takes the oldest poll of the session off its queue, stops it, waits for
	// its answer and sends it.
	static void FinishOldestPoll(bool closing);
	// Answers the GET held on this connection now, as a ping would.
	void FinishHeldPoll();
	// Acts on the page's waiting records, in order, for one slice.
	static void ActOnPageRecords();
	// All records of this connection's POST were gone through: "ok", also
	// when none of them was acted on, and the next request is read.
	void EndPost();
	// The page's session is over: its polls answer "6", its POSTs still
	// waiting are refused.
	static void EndSession();

	std::string m_sid;
	std::int32_t m_pingInterval = 1000;
	std::int32_t m_pingTimeout = 60000;
	std::uint32_t m_bodyCount = 0;
	std::unique_ptr<PRLock, void (*)(PRLock*)> m_frameLock;
	std::unique_ptr<MemFile> m_body;
	bool m_jsonp = false;
	bool m_hasSid = false;
	std::string m_jsonpIndex = "-1";
	// The id of the poll record of the held GET; 0 when none.
	std::uint64_t m_currentPoll = 0;
	// Counted in bytes handed to the system since the connection began:
	// where the last answer written ends.
	std::uint64_t m_responseEnd = 0;
	// A poll answer not yet handed on whole: the count at which it will have
	// been, and its take.
	struct AnswerInFlight
	{
		std::uint64_t end;
		std::string sid;
		std::uint64_t ticket;
	};
	// Oldest first.
	std::deque<AnswerInFlight> m_answersInFlight;
	// The bytes handed on when they last grew while answers were in flight,
	// and when.
	std::uint64_t m_progressBytes = 0;
	std::chrono::steady_clock::time_point m_progressAt;
};
