#include "agent/PageSession.h"

#include "agent/AgentState.h"
#include "agent/MessageStore.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <set>

namespace PageSession
{
namespace
{

enum class Kind
{
	None,
	Polling,
	WebSocket,
};

struct Page
{
	Kind kind = Kind::None;
	// The polling page's id.
	std::string sid;
	// The WebSocket page's connection.
	int webSocketUid = 0;
	// The live connections that carried a request of the polling page.
	std::set<int> connections;
	Clock::time_point lastRequest;
	// Set while the page's connections are gone: it ends then.
	std::optional<Clock::time_point> graceEnds;
	// The agent is acting on the page's records.
	bool working = false;
};

Page g_page;
// Opened ids, oldest first.
std::deque<std::string> g_opened;

void ForgetOpened(const std::string& sid)
{
	g_opened.erase(std::remove(g_opened.begin(), g_opened.end(), sid), g_opened.end());
}

void Connect(Page page)
{
	g_page = std::move(page);
	g_sessionActive = 1;
}

} // namespace

bool Connected()
{
	return g_page.kind != Kind::None;
}

bool IsPollingPage(const std::string& sid)
{
	return g_page.kind == Kind::Polling && !sid.empty() && sid == g_page.sid;
}

bool IsOpened(const std::string& sid)
{
	auto it = g_sessionStates.find(sid);
	return it != g_sessionStates.end() && it->second == SessionOpened;
}

const std::string& PollingPage()
{
	static const std::string none;
	return g_page.kind == Kind::Polling ? g_page.sid : none;
}

bool IsPageConnection(int uid)
{
	return g_page.kind == Kind::Polling && g_page.connections.count(uid) != 0;
}

void Opened(const std::string& sid)
{
	if (sid.empty())
		return;
	g_sessionStates[sid] = SessionOpened;
	ForgetOpened(sid);
	g_opened.push_back(sid);
	while (g_opened.size() > kOpenedLimit)
	{
		g_sessionStates.erase(g_opened.front());
		g_opened.pop_front();
	}
}

bool ConnectPolling(const std::string& sid, int uid, Clock::time_point now)
{
	if (Connected() || !IsOpened(sid))
		return false;
	ForgetOpened(sid);
	g_sessionStates[sid] = SessionConnected;
	Page page;
	page.kind = Kind::Polling;
	page.sid = sid;
	page.connections.insert(uid);
	page.lastRequest = now;
	Connect(std::move(page));
	return true;
}

bool ConnectWebSocket(int uid)
{
	if (Connected())
		return false;
	Page page;
	page.kind = Kind::WebSocket;
	page.webSocketUid = uid;
	Connect(std::move(page));
	return true;
}

void Request(int uid, Clock::time_point now)
{
	if (g_page.kind != Kind::Polling)
		return;
	g_page.connections.insert(uid);
	g_page.lastRequest = now;
	g_page.graceEnds.reset();
}

void ConnectionClosed(int uid, bool heldPoll, Clock::time_point now)
{
	if (g_page.kind == Kind::WebSocket && g_page.webSocketUid == uid)
	{
		End();
		return;
	}
	if (g_page.kind != Kind::Polling || g_page.connections.erase(uid) == 0)
		return;
	if (g_page.connections.empty() || heldPoll)
		g_page.graceEnds = now + kGrace;
}

void Working(bool busy, Clock::time_point now)
{
	if (g_page.kind != Kind::Polling)
		return;
	// The page's clocks count from the end of the work.
	if (g_page.working && !busy)
	{
		g_page.lastRequest = now;
		if (g_page.graceEnds)
			g_page.graceEnds = now + kGrace;
	}
	g_page.working = busy;
}

bool Gone(Clock::time_point now)
{
	if (g_page.kind != Kind::Polling || g_page.working)
		return false;
	return (g_page.graceEnds && now >= *g_page.graceEnds) || now - g_page.lastRequest >= kSilence;
}

void End()
{
	if (g_page.kind == Kind::Polling)
	{
		g_sessionStates.erase(g_page.sid);
		g_messageStore.Remove(g_page.sid);
	}
	g_page = Page();
	g_sessionId.clear();
	g_sessionActive = 0;
}

} // namespace PageSession
