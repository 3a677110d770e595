#pragma once

#include "agent/PollPacket.h"
#include "agent/WebSocket.h"

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>

class MemFile;
struct PollRecord;
struct PRLock;

// The server side of the long-polling transport on "/tessark.io/": a GET
// without "sid" opens a session, the first GET with it connects ("40"),
// later GETs are held until a reply of the session is queued in the message
// store or about 900 ms pass, and POSTs carry the page's packets. Who may do
// what is PageSession's rule: one page at a time, and only the connected
// page's requests act; everything else is refused with 403.
//
// Each held GET has a responder thread that waits for the reply and decides
// the answer, but never touches the connection: it leaves the answer in an
// outbox and wakes the handler, and DeliverAnswers sends it on the loop
// thread. The server loop therefore calls DeliverAnswers after every turn,
// and StopResponders when it ends, before the handler is destroyed.
//
// Everything here runs on the loop thread unless said otherwise.
class WebSocketServer : public WebSocket
{
public:
	// Finished polls kept in the session's queue; the oldest beyond this are
	// freed when a new poll is queued.
	static constexpr std::size_t kFinishedPollLimit = 64;
	// Records of one POST body that are acted on; a page posts one event at
	// a time and batches a handful of packets at most. The rest are dropped.
	static constexpr std::size_t kMaxRecordsPerPost = 64;
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
	// Also empties the body and forgets the held GET.
	void ResetRequest() override;
	// After each polling answer, and at the end of every request head.
	virtual void OnResponseSent() = 0;

	// Sends the answers the responders have decided, reaps finished polls,
	// and ends the session of a page that has gone.
	static void DeliverAnswers();
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
	// Takes the oldest poll of the session off its queue, stops it, waits for
	// its answer and sends it.
	static void FinishOldestPoll(bool closing);
	// Answers the GET held on this connection now, as a ping would.
	void FinishHeldPoll();
	// The page's session is over: its polls answer "6".
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
};
