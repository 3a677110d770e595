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
// store or about 900 ms pass, and POSTs carry the page's packets. One page
// at a time: while one is connected, opening and connecting are refused.
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
	// Finished polls kept in a session's queue; the oldest beyond this are
	// freed when a new poll is queued.
	static constexpr std::size_t kFinishedPollLimit = 64;

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

	// Sends the answers the responders have decided; reaps finished ones.
	static void DeliverAnswers();
	// Stops every responder, waits for all of them and frees every poll.
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

	// Polls held in session queues or waiting to be reaped, and sessions
	// with a queue (for tests of bounded memory).
	static std::size_t PollRecordCount();
	static std::size_t SessionQueueCount();

private:
	void OpenSession();
	void ConnectSession();
	void RegisterPoll();
	void OnPost();
	// The connection leaves its session id for another.
	void LeaveSession(const std::string& next);
	void Refuse(const std::string& code, const std::string& reason, bool connectionHeader);
	void SendResponse(const char* contentType, const std::string& body, bool headFirst);
	// Takes the oldest poll of the session off its queue, stops it, waits for
	// its answer and sends it; false when the queue is empty.
	bool FinishOldestPoll(bool closing);
	// Ends the held GET on this connection after its responder answers.
	void FinishHeldPoll();

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
