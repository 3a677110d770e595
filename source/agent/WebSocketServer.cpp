#include "agent/WebSocketServer.h"

#include "agent/AgentState.h"
#include "agent/MessageStore.h"
#include "agent/PageSession.h"
#include "agent/PollRecord.h"
#include "base/Encoding.h"
#include "base/MemFile.h"
#include "base/NetUtil.h"

#include <prlock.h>

#include <algorithm>
#include <exception>

namespace
{

using PollPtr = std::unique_ptr<PollRecord>;

// The polls of the connected page, oldest first. A poll stays queued after
// its answer until a POST, the end of its connection or of the session
// takes it off.
std::deque<PollPtr> g_sessionPolls;
// Polls taken off the queue while their responder still runs.
std::list<PollPtr> g_retiredPolls;
// The live polling connections by uid, for the answers of the responders.
std::map<int, WebSocketServer*> g_pollConnections;
std::uint64_t g_lastPollId = 0;

// A POST of the connected page whose records wait to be acted on. Its
// connection serves nothing more until the POST is answered, and takes the
// POST out when it closes.
struct PagePost
{
	int connectionUid;
	PollPacket::PacketReader records;
};
// The page's POSTs, oldest first: their records are acted on in this order.
std::deque<PagePost> g_pagePosts;
// A slice is being acted on: a POST read meanwhile waits for the loop.
bool g_acting = false;

WebSocketServer* FindConnection(int uid)
{
	auto it = g_pollConnections.find(uid);
	return it == g_pollConnections.end() ? nullptr : it->second;
}

// The replies waiting for the page are at their limit: its records wait.
bool RepliesAtLimit()
{
	const std::string& sid = PageSession::PollingPage();
	return !sid.empty() && g_messageStore.Count(sid) >= MessageStore::kQueueLimit;
}

void DestroyLock(PRLock* lock)
{
	if (lock != nullptr)
		PR_DestroyLock(lock);
}

// Holds a frame-send lock for a scope.
class FrameLockGuard
{
public:
	explicit FrameLockGuard(PRLock* lock) : m_lock(lock) { PR_Lock(m_lock); }
	~FrameLockGuard() { PR_Unlock(m_lock); }
	FrameLockGuard(const FrameLockGuard&) = delete;
	FrameLockGuard& operator=(const FrameLockGuard&) = delete;

private:
	PRLock* m_lock;
};

template <typename Visit>
void ForEachPoll(Visit visit)
{
	for (PollPtr& record : g_sessionPolls)
		visit(*record);
	for (PollPtr& record : g_retiredPolls)
		visit(*record);
}

// A poll off its queue: freed at once when finished, else when it is.
void Retire(PollPtr record)
{
	if (!record->done)
		g_retiredPolls.push_back(std::move(record));
}

void ReapRetired()
{
	g_retiredPolls.remove_if([](const PollPtr& record) { return record->done.load(); });
}

// Takes the poll off the session's queue, if it is there.
PollPtr TakeQueued(const PollRecord* record)
{
	auto it = std::find_if(g_sessionPolls.begin(), g_sessionPolls.end(),
		[record](const PollPtr& queued) { return queued.get() == record; });
	if (it == g_sessionPolls.end())
		return nullptr;
	PollPtr taken = std::move(*it);
	g_sessionPolls.erase(it);
	return taken;
}

PollRecord* FindPoll(std::uint64_t id)
{
	PollRecord* found = nullptr;
	ForEachPoll([&](PollRecord& record) {
		if (record.id == id)
			found = &record;
	});
	return found;
}

// Frees the oldest finished polls beyond the limit.
void TrimFinished()
{
	std::size_t finished = std::count_if(g_sessionPolls.begin(), g_sessionPolls.end(),
		[](const PollPtr& r) { return r->done.load(); });
	for (auto it = g_sessionPolls.begin(); it != g_sessionPolls.end() && finished > WebSocketServer::kFinishedPollLimit;)
	{
		if ((*it)->done)
		{
			it = g_sessionPolls.erase(it);
			--finished;
		}
		else
		{
			++it;
		}
	}
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
	// Answers cut short go to the page's next poll.
	SettleAnswers(true);
	// A POST that can no longer be answered: the page has given up on it.
	g_pagePosts.erase(std::remove_if(g_pagePosts.begin(), g_pagePosts.end(),
						  [this](const PagePost& post) { return post.connectionUid == Uid(); }),
		g_pagePosts.end());
	// Only this connection's polls are let go: they answer nobody now. The
	// session, its replies and its other connections' polls stay.
	const bool heldPoll = m_currentPoll != 0;
	ForEachPoll([this](PollRecord& record) {
		if (record.server != this)
			return;
		record.server = nullptr;
		record.serverGone = true;
		PollResponders::Stop(&record);
	});
	// Its polls leave the queue, so that a POST never takes one for the
	// page's (polls of connections gone before left it then).
	for (auto it = g_sessionPolls.begin(); it != g_sessionPolls.end();)
	{
		if ((*it)->serverGone)
		{
			Retire(std::move(*it));
			it = g_sessionPolls.erase(it);
		}
		else
		{
			++it;
		}
	}
	ReapRetired();
	PageSession::ConnectionClosed(Uid(), heldPoll);
}

void WebSocketServer::OnFirst()
{
	// Answers go out in the order of the requests: a GET still held on this
	// connection is answered before the next request is read on.
	if (m_currentPoll != 0)
		FinishHeldPoll();
	// Nothing of an earlier request that went unanswered carries over.
	m_body.reset();
	m_bodyCount = 0;
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

void WebSocketServer::ReadQuery()
{
	// Each request stands alone: a connection may carry requests of other
	// clients than the page (a shared proxy, a pooled connection), so
	// nothing of an earlier request's query counts.
	const std::map<std::string, std::string> query = ParseQueryString(GetQuery());
	auto j = query.find("j");
	m_jsonpIndex = j != query.end() ? j->second : "-1";
	auto sid = query.find("sid");
	m_hasSid = sid != query.end();
	m_sid = m_hasSid ? NetUtil::UrlDecode(sid->second) : std::string();
	m_jsonp = IsJsonp();
}

void WebSocketServer::OnRequestComplete()
{
	// An upgraded connection speaks frames from now on, whatever its path.
	if (GetTransport() == TransportWebSocket)
		return;
	// A request is a polling one only when it names the polling path itself.
	SetTransport(NetUtil::ToLowerAscii(GetPath()) == "/tessark.io/" ? TransportPolling : TransportHttp);
	if (GetTransport() != TransportPolling)
		return;
	ReadQuery();

	if (NetUtil::ToLowerAscii(GetMethod()) == "get")
	{
		if (!m_hasSid)
			OpenSession();
		else if (PageSession::IsOpened(m_sid))
			ConnectSession();
		else if (PageSession::IsPollingPage(m_sid))
			RegisterPoll();
		else
			Refuse(kForbidden);
		return;
	}
	// Only the connected page's packets act.
	if (!PageSession::IsPollingPage(m_sid))
	{
		Refuse(kForbidden);
		return;
	}
	PageSession::Request(Uid());
	if (m_bodyCount == 0 || !m_body)
	{
		Refuse(kNoBody);
		return;
	}
	OnPost();
}

void WebSocketServer::OpenSession()
{
	if (PageSession::Connected())
	{
		Refuse(kForbidden);
		return;
	}
	m_sid = NewSessionId();
	SendHandshakeResponse(EncodePacket("0", PollPacket::HandshakeText(m_sid, m_pingInterval, m_pingTimeout)));
}

void WebSocketServer::ConnectSession()
{
	// One page at a time: another page's connect is refused like its open.
	if (!PageSession::ConnectPolling(m_sid, Uid()))
	{
		Refuse(kForbidden);
		return;
	}
	SendControlResponse(EncodePacket("40", ""));
	OnSessionConnected();
}

void WebSocketServer::FinishHeldPoll()
{
	PollRecord* held = FindPoll(m_currentPoll);
	if (held != nullptr)
	{
		PollResponders::Stop(held);
		PollResponders::Join(held);
	}
	// Its answer, if it has one, goes out now.
	SendAnswers();
	m_currentPoll = 0;
	if (held != nullptr)
		TakeQueued(held);
}

void WebSocketServer::RegisterPoll()
{
	PageSession::Request(Uid());
	auto record = std::make_unique<PollRecord>();
	record->server = this;
	record->serverUid = Uid();
	record->handler = &Handler();
	record->waitMs = m_pingInterval;
	record->sid = m_sid;
	record->framing = PollPacket::Framing{ m_jsonp, m_jsonpIndex };
	record->id = ++g_lastPollId;
	PollRecord* started = record.get();
	TrimFinished();
	g_sessionPolls.push_back(std::move(record));
	m_currentPoll = started->id;
	SetRequestHeld(true);
	if (!PollResponders::Start(started))
		Refuse(kNoResponder);
}

void WebSocketServer::FinishOldestPoll(bool closing)
{
	if (g_sessionPolls.empty())
		return;
	PollPtr oldest = std::move(g_sessionPolls.front());
	g_sessionPolls.pop_front();
	PollResponders::Stop(oldest.get(), closing);
	PollResponders::Join(oldest.get());
	SendAnswers();
}

std::string WebSocketServer::TakeBody()
{
	std::string body(m_bodyCount, '\0');
	m_body->RewindRead();
	body.resize(m_body->Read(&body[0], 1, body.size()));
	if (m_jsonp)
		body = PollPacket::JsonpFormText(body);
	ConvertEncodingInPlace("UTF-8", "ISO-8859-1", body, true);
	return body;
}

void WebSocketServer::OnPost()
{
	g_pagePosts.push_back(PagePost{ Uid(), PollPacket::PacketReader(TakeBody(), m_jsonp) });
	m_body.reset();
	m_bodyCount = 0;
	// No deadline while the POST waits for the agent, and no next request
	// before its answer.
	SetRequestHeld(true);
	HoldInput();
	ActOnPageRecords();
}

void WebSocketServer::ActOnPageRecords()
{
	if (g_acting)
		return;
	g_acting = true;
	const auto started = std::chrono::steady_clock::now();
	for (std::size_t acted = 0; !g_pagePosts.empty();)
	{
		PagePost& post = g_pagePosts.front();
		WebSocketServer* connection = FindConnection(post.connectionUid);
		if (post.records.AtEnd())
		{
			g_pagePosts.pop_front();
			connection->EndPost();
			continue;
		}
		if (acted == kSliceRecords || std::chrono::steady_clock::now() - started >= kSliceTime || RepliesAtLimit())
			break;
		PollPacket::Record record;
		post.records.Next(record);
		++acted;
		// Answering a poll may end the session (its "6"), and the session's
		// end takes the POSTs out: the post is not touched after it.
		switch (record.type)
		{
		case PollPacket::PacketClose:
			// Nothing after a close counts.
			g_pagePosts.pop_front();
			FinishOldestPoll(true);
			connection->EndPost();
			EndSession();
			continue;
		case PollPacket::PacketPing:
			FinishOldestPoll(false);
			break;
		case PollPacket::PacketEvent:
			FinishOldestPoll(false);
			if (PageSession::Connected())
				connection->OnMessage(std::move(record.payload));
			break;
		default:
			// Nothing else is acted on: a disconnect, an event with an
			// acknowledgement id, a binary event, another namespace's
			// connect. The POST is still answered, or the page's client
			// would send nothing more.
			break;
		}
	}
	g_acting = false;
	PageSession::Working(HasWork());
}

void WebSocketServer::EndPost()
{
	SendAckResponse("ok");
	ReleaseInput();
}

bool WebSocketServer::HasWork()
{
	return !g_pagePosts.empty() && !RepliesAtLimit();
}

void WebSocketServer::EndSession()
{
	if (!PageSession::Connected())
		return;
	PageSession::End();
	for (PollPtr& record : g_sessionPolls)
	{
		PollResponders::Stop(record.get(), true);
		Retire(std::move(record));
	}
	g_sessionPolls.clear();
	// The session's POSTs still waiting are refused as they would be now.
	std::deque<PagePost> waiting;
	waiting.swap(g_pagePosts);
	for (const PagePost& post : waiting)
		FindConnection(post.connectionUid)->Refuse(kForbidden);
}

void WebSocketServer::SendAnswers()
{
	for (PollAnswer& answer : PollResponders::TakeAnswers())
	{
		WebSocketServer* connection = FindConnection(answer.connectionUid);
		if (connection != nullptr && connection->m_currentPoll == answer.pollId)
		{
			try
			{
				switch (answer.kind)
				{
				case PollAnswerKind::Poll:
					connection->SendPollResponse(std::move(answer.body));
					connection->KeepReplies(answer);
					continue;
				case PollAnswerKind::Control:
					connection->SendControlResponse(std::move(answer.body));
					break;
				case PollAnswerKind::Close:
					connection->SendCloseResponse(std::move(answer.body));
					break;
				}
			}
			catch (const std::exception& e)
			{
				connection->Log("SendAnswers", 0, std::string("answer to a held poll dropped: ") + e.what(),
					LOG_LEVEL_ERROR);
			}
		}
		// Replies that no connection keeps never reached the page: they go
		// back for its next poll (a "6" ends the session, and them with it).
		g_messageStore.PutBack(answer.sid, answer.ticket);
	}
	ReapRetired();
}

void WebSocketServer::KeepReplies(const PollAnswer& answer)
{
	if (m_answersInFlight.empty())
	{
		m_progressBytes = GetBytesSent();
		m_progressAt = std::chrono::steady_clock::now();
	}
	m_answersInFlight.push_back(AnswerInFlight{ m_responseEnd, answer.sid, answer.ticket });
	SettleAnswers(false);
}

void WebSocketServer::SettleAnswers(bool ending)
{
	while (!m_answersInFlight.empty())
	{
		const AnswerInFlight& answer = m_answersInFlight.front();
		if (GetBytesSent() >= answer.end)
			g_messageStore.Delivered(answer.sid, answer.ticket);
		else if (ending)
			g_messageStore.PutBack(answer.sid, answer.ticket);
		else
			return;
		m_answersInFlight.pop_front();
	}
}

void WebSocketServer::WatchAnswers(std::chrono::steady_clock::time_point now)
{
	if (m_answersInFlight.empty())
		return;
	if (GetBytesSent() != m_progressBytes)
	{
		m_progressBytes = GetBytesSent();
		m_progressAt = now;
	}
	else if (now - m_progressAt >= std::chrono::seconds(RequestSeconds()))
	{
		SetFlushBeforeClose(false);
		SetCloseAndDelete(true);
	}
}

void WebSocketServer::OnWriteComplete()
{
	WebSocket::OnWriteComplete();
	SettleAnswers(false);
}

void WebSocketServer::OnLoopTurn()
{
	SendAnswers();
	ActOnPageRecords();
	// The page's own connections are not cut while the agent works for it,
	// but an answer that does not move is, whatever renews the deadline.
	const bool working = HasWork();
	const auto now = std::chrono::steady_clock::now();
	for (const auto& [uid, connection] : g_pollConnections)
	{
		if (working && PageSession::IsPageConnection(uid))
			connection->RestartDeadline();
		connection->WatchAnswers(now);
	}
	if (PageSession::Gone())
		EndSession();
}

void WebSocketServer::StopResponders()
{
	g_pagePosts.clear();
	EndSession();
	ForEachPoll([](PollRecord& record) { PollResponders::Stop(&record); });
	ForEachPoll([](PollRecord& record) { PollResponders::Join(&record); });
	SendAnswers();
	g_sessionPolls.clear();
	g_retiredPolls.clear();
}

std::size_t WebSocketServer::PollRecordCount()
{
	std::size_t count = 0;
	ForEachPoll([&count](PollRecord&) { ++count; });
	return count;
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
		// Counted before the send: a connection that has failed takes none
		// of the bytes, and they must not count as handed on.
		m_responseEnd = GetBytesSent() + GetOutputLength() + response.size();
		SendBuf(response.data(), response.size());
	}
	ResetRequest();
	OnResponseSent();
}

void WebSocketServer::SendHandshakeResponse(std::string body)
{
	SendResponse("text/plain; charset=UTF-8", body, true);
	PageSession::Opened(m_sid);
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
	// The page's session is over once it is told so.
	if (PageSession::IsPollingPage(m_sid))
		EndSession();
}

void WebSocketServer::SendToClient(std::string text)
{
	if (text.empty() || GetTransport() != TransportWebSocket)
		return;
	FrameLockGuard lock(m_frameLock.get());
	SendTextFrame(std::move(text));
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
	if (RequestHeld())
		SetRequestHeld(false);
	m_currentPoll = 0;
}
