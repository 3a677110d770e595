#include "agent/WebSocketServer.h"

#include "agent/AgentState.h"
#include "agent/MessageStore.h"
#include "agent/PollRecord.h"
#include "base/Encoding.h"
#include "base/MemFile.h"
#include "base/NetUtil.h"

#include <prlock.h>

#include <algorithm>
#include <exception>

namespace
{

// Session id to the polls of that session, oldest first. A poll stays queued
// after its answer until a POST, a second GET or the end of a connection
// takes it off.
std::map<std::string, std::deque<PollRecord*>> g_pollRecords;
// Polls taken off their queue while their responder still runs.
std::list<PollRecord*> g_retiredPolls;
// The live polling connections by uid, for the answers of the responders.
std::map<int, WebSocketServer*> g_pollConnections;
std::uint64_t g_lastPollId = 0;

void DestroyLock(PRLock* lock)
{
	if (lock != nullptr)
		PR_DestroyLock(lock);
}

template <typename Visit>
void ForEachPoll(Visit visit)
{
	for (auto& session : g_pollRecords)
		for (PollRecord* record : session.second)
			visit(record);
	for (PollRecord* record : g_retiredPolls)
		visit(record);
}

PollRecord* FindPoll(std::uint64_t id)
{
	PollRecord* found = nullptr;
	ForEachPoll([&](PollRecord* record) {
		if (record->id == id)
			found = record;
	});
	return found;
}

// A poll off its queue: freed at once when finished, else when it is.
void Retire(PollRecord* record)
{
	if (record->done)
		PollResponders::Free(record);
	else
		g_retiredPolls.push_back(record);
}

void ReapRetired()
{
	for (auto it = g_retiredPolls.begin(); it != g_retiredPolls.end();)
	{
		if ((*it)->done)
		{
			PollResponders::Free(*it);
			it = g_retiredPolls.erase(it);
		}
		else
		{
			++it;
		}
	}
}

// The connection is going: its polls answer nobody, and their responders
// end before it does, so that none wakes a handler that is gone.
void DetachPoll(PollRecord* record)
{
	record->server = nullptr;
	record->serverGone = true;
	PollResponders::Stop(record);
	PollResponders::Join(record);
}

// Frees the oldest finished polls beyond the limit.
void TrimFinished(std::deque<PollRecord*>& queue)
{
	std::size_t finished = std::count_if(queue.begin(), queue.end(), [](PollRecord* r) { return r->done.load(); });
	for (auto it = queue.begin(); it != queue.end() && finished > WebSocketServer::kFinishedPollLimit;)
	{
		if ((*it)->done)
		{
			PollResponders::Free(*it);
			it = queue.erase(it);
			--finished;
		}
		else
		{
			++it;
		}
	}
}

SessionState StateOf(const std::string& sid)
{
	auto it = g_sessionStates.find(sid);
	return it == g_sessionStates.end() ? SessionNone : it->second;
}

} // namespace

WebSocketServer::WebSocketServer(ISocketHandler& handler)
	: WebSocket(handler)
	, m_frameLock(PR_NewLock(), DestroyLock)
{
	g_pollConnections[Uid()] = this;
}

WebSocketServer::~WebSocketServer()
{
	g_pollConnections.erase(Uid());
	m_body.reset();
	if (GetTransport() == TransportPolling && !m_sid.empty())
	{
		auto it = g_pollRecords.find(m_sid);
		// Only a session that was opened here is ended: the death of a
		// connection that polled under an unknown or already ended id
		// leaves the page that is connected now alone.
		if (it != g_pollRecords.end() && !it->second.empty() && StateOf(m_sid) != SessionNone)
		{
			g_sessionActive = 0;
			g_messageStore.Remove(m_sid);
			g_clientGone = 1;
			PollRecord* oldest = it->second.front();
			it->second.pop_front();
			DetachPoll(oldest);
			PollResponders::Free(oldest);
		}
		g_sessionStates.erase(m_sid);
		if (it != g_pollRecords.end())
		{
			// Polls of other connections still answer through them.
			for (PollRecord* record : it->second)
				if (record->server == this)
					DetachPoll(record);
			for (PollRecord* record : it->second)
				Retire(record);
			g_pollRecords.erase(it);
		}
	}
	ForEachPoll([this](PollRecord* record) {
		if (record->server == this)
			DetachPoll(record);
	});
	ReapRetired();
}

void WebSocketServer::OnFirst()
{
}

void WebSocketServer::OnRequestHeader(const std::string&, const std::string&)
{
}

void WebSocketServer::OnRequestHeadersEnd()
{
	if (NetUtil::ToLowerAscii(GetMethod()) == "post" && !m_body)
		m_body.reset(new MemFile());
	OnResponseSent();
}

void WebSocketServer::OnRequestBody(const char* data, std::size_t length)
{
	m_bodyCount += static_cast<std::uint32_t>(length);
	if (m_body)
		m_body->Write(data, 1, length);
}

void WebSocketServer::OnRequestComplete()
{
	// An upgraded connection speaks frames from now on, whatever its path.
	if (GetTransport() == TransportWebSocket)
		return;
	if (NetUtil::ToLowerAscii(GetPath()) == "/tessark.io/")
		SetTransport(TransportPolling);
	if (GetTransport() != TransportPolling)
		return;
	// Answers go out in the order of the requests: a GET still held on this
	// connection is answered before the new request is looked at.
	if (m_currentPoll != 0)
		FinishHeldPoll();

	const std::map<std::string, std::string> query = ParseQueryString(GetQuery());
	if (!query.empty())
	{
		auto j = query.find("j");
		if (j != query.end())
			m_jsonpIndex = j->second;
		auto sid = query.find("sid");
		m_hasSid = sid != query.end();
		const std::string next = m_hasSid ? NetUtil::UrlDecode(sid->second) : std::string();
		LeaveSession(next);
		m_sid = next;
	}
	m_jsonp = IsJsonp();

	if (NetUtil::ToLowerAscii(GetMethod()) == "get")
	{
		if (!m_hasSid)
			OpenSession();
		else if (StateOf(m_sid) == SessionOpened)
			ConnectSession();
		else
			RegisterPoll();
		return;
	}
	if (m_bodyCount == 0 || !m_body)
	{
		SetStatusCode("404");
		SetReasonPhrase("Not found");
		SendResponseHead();
		ResetRequest();
		OnResponseSent();
		SetCloseAndDelete(true);
		return;
	}
	OnPost();
}

void WebSocketServer::LeaveSession(const std::string& next)
{
	if (m_sid.empty() || m_sid == next)
		return;
	// A session that never connected, or one nobody holds any more, is not
	// kept for a connection that has moved on.
	const SessionState state = StateOf(m_sid);
	if (state == SessionConnected)
		return;
	if (state == SessionOpened)
		g_sessionStates.erase(m_sid);
	auto it = g_pollRecords.find(m_sid);
	if (it == g_pollRecords.end())
		return;
	const bool allFinished = std::all_of(it->second.begin(), it->second.end(),
		[](PollRecord* r) { return r->done.load(); });
	if (!allFinished)
		return;
	for (PollRecord* record : it->second)
		PollResponders::Free(record);
	g_pollRecords.erase(it);
}

void WebSocketServer::Refuse(const std::string& code, const std::string& reason, bool connectionHeader)
{
	SetStatusCode(code);
	SetReasonPhrase(reason);
	if (connectionHeader)
		SetResponseHeader("Connection", "close");
	SendResponseHead();
	if (!connectionHeader)
	{
		ResetRequest();
		OnResponseSent();
	}
	SetCloseAndDelete(true);
}

void WebSocketServer::OpenSession()
{
	if (g_sessionActive)
	{
		Refuse("403", "Forbidden", true);
		return;
	}
	m_sid = NewSessionId();
	SendHandshakeResponse(EncodePacket("0", PollPacket::HandshakeText(m_sid, m_pingInterval, m_pingTimeout)));
}

void WebSocketServer::ConnectSession()
{
	// One page at a time: another page's connect is refused like its open.
	if (g_sessionActive)
	{
		Refuse("403", "Forbidden", true);
		return;
	}
	g_sessionStates[m_sid] = SessionConnected;
	SendControlResponse(EncodePacket("40", ""));
	OnSessionConnected();
	g_sessionActive = 1;
}

void WebSocketServer::FinishHeldPoll()
{
	PollRecord* held = FindPoll(m_currentPoll);
	if (held == nullptr)
	{
		// Finished and freed: its answer, if any, may still wait.
		DeliverAnswers();
		m_currentPoll = 0;
		return;
	}
	PollResponders::Stop(held);
	PollResponders::Join(held);
	DeliverAnswers();
	m_currentPoll = 0;
	auto it = g_pollRecords.find(held->sid);
	if (it != g_pollRecords.end() && !it->second.empty() && it->second.front() == held)
	{
		it->second.pop_front();
		if (it->second.empty())
			g_pollRecords.erase(it);
		PollResponders::Free(held);
	}
}

void WebSocketServer::RegisterPoll()
{
	auto* record = new PollRecord();
	record->server = this;
	record->serverUid = Uid();
	record->handler = &Handler();
	record->waitMs = m_pingInterval;
	record->sid = m_sid;
	record->framing = PollPacket::Framing{ m_jsonp, m_jsonpIndex };
	record->id = ++g_lastPollId;
	std::deque<PollRecord*>& queue = g_pollRecords[m_sid];
	TrimFinished(queue);
	queue.push_back(record);
	m_currentPoll = record->id;
	if (!PollResponders::Start(record))
	{
		SetStatusCode("404");
		SetReasonPhrase("Not Found");
		SendResponseHead();
		ResetRequest();
		OnResponseSent();
		SetCloseAndDelete(true);
	}
}

bool WebSocketServer::FinishOldestPoll(bool closing)
{
	auto it = g_pollRecords.find(m_sid);
	if (it == g_pollRecords.end() || it->second.empty())
		return false;
	PollRecord* oldest = it->second.front();
	it->second.pop_front();
	if (it->second.empty())
		g_pollRecords.erase(it);
	PollResponders::Stop(oldest, closing);
	PollResponders::Join(oldest);
	DeliverAnswers();
	PollResponders::Free(oldest);
	return true;
}

void WebSocketServer::OnPost()
{
	std::string body(m_bodyCount, '\0');
	m_body->RewindRead();
	body.resize(m_body->Read(&body[0], 1, body.size()));
	if (m_jsonp)
		body = NetUtil::UrlDecode(body);
	ConvertEncodingInPlace("UTF-8", "ISO-8859-1", body, true);
	// A page batches what it has queued (a ping beside an event, say) into
	// one body: each record counts, the body is acknowledged once.
	bool acknowledged = false;
	const auto acknowledge = [this, &acknowledged] {
		if (!acknowledged)
			SendAckResponse("ok");
		acknowledged = true;
	};
	for (const PollPacket::Record& record : PollPacket::DecodePackets(body, m_jsonp))
	{
		switch (record.type)
		{
		case 1:
			FinishOldestPoll(true);
			acknowledge();
			g_sessionActive = 0;
			return;
		case 2:
			FinishOldestPoll(false);
			acknowledge();
			break;
		case 41:
			acknowledge();
			break;
		case 42:
			FinishOldestPoll(false);
			acknowledge();
			OnMessage(record.payload);
			break;
		default:
			break;
		}
	}
}

void WebSocketServer::DeliverAnswers()
{
	for (PollAnswer& answer : PollResponders::TakeAnswers())
	{
		auto it = g_pollConnections.find(answer.connectionUid);
		if (it == g_pollConnections.end() || it->second->m_currentPoll != answer.pollId)
			continue;
		WebSocketServer* connection = it->second;
		try
		{
			switch (answer.kind)
			{
			case PollAnswerKind::Poll:
				connection->SendPollResponse(std::move(answer.body));
				break;
			case PollAnswerKind::Control:
				connection->SendControlResponse(std::move(answer.body));
				break;
			case PollAnswerKind::Close:
				connection->SendCloseResponse(std::move(answer.body));
				break;
			}
		}
		catch (const std::exception&)
		{
		}
	}
	ReapRetired();
}

void WebSocketServer::StopResponders()
{
	ForEachPoll([](PollRecord* record) { PollResponders::Stop(record); });
	ForEachPoll([](PollRecord* record) { PollResponders::Join(record); });
	DeliverAnswers();
	ForEachPoll([](PollRecord* record) { PollResponders::Free(record); });
	g_pollRecords.clear();
	g_retiredPolls.clear();
}

std::size_t WebSocketServer::PollRecordCount()
{
	std::size_t count = 0;
	ForEachPoll([&count](PollRecord*) { ++count; });
	return count;
}

std::size_t WebSocketServer::SessionQueueCount()
{
	return g_pollRecords.size();
}

std::map<std::string, std::string> WebSocketServer::ParseQueryString(const std::string& query)
{
	return PollPacket::ParseQueryString(query);
}

bool WebSocketServer::IsJsonp() const
{
	return PollPacket::IsJsonpIndex(m_jsonpIndex);
}

std::string WebSocketServer::NewSessionId()
{
	return PollPacket::NewSessionId();
}

std::string WebSocketServer::EncodePacket(std::string type, std::string data) const
{
	return PollPacket::EncodePacket(type, data, PollPacket::Framing{ m_jsonp, m_jsonpIndex });
}

std::string WebSocketServer::EncodeMessages(std::string type, std::list<std::string> messages) const
{
	return PollPacket::EncodeMessages(type, messages, PollPacket::Framing{ m_jsonp, m_jsonpIndex });
}

void WebSocketServer::SendResponse(const char* contentType, const std::string& body, bool headFirst)
{
	SetResponseHeader("Content-Type", std::string(contentType));
	SetResponseHeader("Content-Length", std::to_string(body.size()));
	SetResponseHeader("X-XSS-Protection", "0");
	SetResponseHeader("Access-Control-Allow-Origin", "*");
	SetResponseHeader("Set-Cookie", "io=" + m_sid);
	SetResponseHeader("Date", datetime2httpdate(CurrentDateTime()));
	SetResponseHeader("Connection", "keep-alive");
	SetStatusCode("200");
	SetReasonPhrase("OK");
	if (headFirst)
	{
		SendResponseHead();
		if (!body.empty())
			SendBuf(body.data(), body.size());
	}
	else
	{
		std::string response;
		BuildResponseHead(response);
		response += body;
		SendBuf(response.data(), response.size());
	}
	ResetRequest();
	OnResponseSent();
}

void WebSocketServer::SendHandshakeResponse(std::string body)
{
	SendResponse("text/plain; charset=UTF-8", body, true);
	g_sessionStates[m_sid] = SessionOpened;
}

void WebSocketServer::SendPollResponse(std::string body)
{
	SendResponse("text/plain; charset=UTF-8", body, false);
}

void WebSocketServer::SendControlResponse(std::string body)
{
	SendResponse("text/plain; charset=UTF-8", body, false);
}

void WebSocketServer::SendAckResponse(std::string body)
{
	SendResponse("text/html; charset=UTF-8", body, false);
}

void WebSocketServer::SendCloseResponse(std::string body)
{
	SendResponse("text/plain; charset=UTF-8", body, false);
	SetCloseAndDelete(true);
	if (!m_sid.empty())
		g_sessionActive = 0;
}

void WebSocketServer::SendToClient(std::string text)
{
	if (text.empty() || GetTransport() != TransportWebSocket)
		return;
	PR_Lock(m_frameLock.get());
	SendTextFrame(std::move(text));
	PR_Unlock(m_frameLock.get());
}

std::string WebSocketServer::datetime2httpdate(const std::string& localDateTime)
{
	bool failed = false;
	std::string date = PollPacket::HttpDate(localDateTime, failed);
	if (failed)
		Log("datetime2httpdate", 0, "mktime() failed", LOG_LEVEL_WARNING);
	return date;
}

std::string WebSocketServer::CurrentDateTime() const
{
	return PollPacket::CurrentDateTime();
}

void WebSocketServer::ResetRequest()
{
	WebSocket::ResetRequest();
	m_bodyCount = 0;
	m_body.reset();
	m_currentPoll = 0;
}
