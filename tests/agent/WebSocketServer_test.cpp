#include "AgentTestSupport.h"
#include "PollingServer.h"

#include "agent/PageSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <regex>
#include <vector>

namespace
{

const char kPoll[] = "EIO=3&transport=polling&t=Mz1a2b-0";

// The head of a 200 answer, the Date checked by its form.
void ExpectHead(const HttpResponse& response, const std::string& sid, const std::string& type = "text/plain; charset=UTF-8")
{
	static const std::regex date("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT");
	EXPECT_TRUE(std::regex_match(response.Header("Date"), date)) << response.head;
	EXPECT_EQ("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: keep-alive\r\nContent-Length: "
		+ std::to_string(response.body.size()) + "\r\nContent-Type: " + type + "\r\nDate: " + response.Header("Date")
		+ "\r\nSet-Cookie: io=" + sid + "\r\nX-XSS-Protection: 0\r\n\r\n", response.head);
}

const std::string kForbidden = "HTTP/1.1 403 Forbidden\r\nConnection: close\r\n\r\n";

// The agent's connection with a request deadline of two seconds.
class ShortDeadlineEcho : public EchoSocket
{
public:
	explicit ShortDeadlineEcho(ISocketHandler& handler) : EchoSocket(handler) { SetRequestSeconds(2); }
};

// The agent's connection that works a while on every event, as it does on
// an import: the loop does not turn meanwhile. A held poll's responder has
// taken the reply before the loop goes on.
class BusyEcho : public EchoSocket
{
public:
	explicit BusyEcho(ISocketHandler& handler) : EchoSocket(handler) {}
	void OnMessage(std::string message) override
	{
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		EchoSocket::OnMessage(std::move(message));
		WaitUntil([this] { return g_messageStore.Count(GetSid()) == 0; }, 1000);
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
};

// The agent's connection, over TLS with the tests' certificate file.
template <typename Connection>
class TlsOf : public Connection
{
public:
	explicit TlsOf(ISocketHandler& handler) : Connection(handler) {}
	void Init() override { this->EnableSSL(true); }
	void InitSSLServer() override
	{
		this->InitializeContext("polling-tests", ZC_TEST_DATA_DIR "/tls/local.pem", "61937", TLS_server_method());
	}
};

// Waits until the check holds for the agent's side of the connection.
template <typename Server, typename Check>
bool AgentSide(Server& server, const PageConnection& connection, Check check)
{
	const int port = connection.LocalPort();
	return WaitUntil([&server, port, check] {
		return server.OnLoop([port, check] {
			EchoSocket* agentSide = EchoSocket::OfClientPort(port);
			return agentSide != nullptr && check(*agentSide);
		});
	});
}

// The system keeps little of what the agent sends on the page's connection:
// 4 KiB on the agent's side.
template <typename Server>
bool NarrowAgentSide(Server& server, const PageConnection& connection)
{
	return AgentSide(server, connection, [](EchoSocket& agentSide) {
		const int size = 4096;
		return ::setsockopt(agentSide.GetSocket(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
	});
}

// Part of an answer to the connection still waits in the agent.
template <typename Server>
bool AnswerQueued(Server& server, const PageConnection& connection)
{
	return AgentSide(server, connection, [](EchoSocket& agentSide) { return agentSide.GetOutputLength() > 0; });
}

// Replies of about 9 KB, numbered from first, queued at once for the page;
// their records as a poll answer carries them.
std::vector<std::string> QueueLargeReplies(const std::string& sid, int first, int count, std::size_t size = 9000)
{
	std::vector<std::string> records;
	MutexLock lock(g_messageStoreMutex);
	for (int i = first; i < first + count; ++i)
	{
		records.push_back("42[\"r\"," + std::to_string(i) + ",\"" + std::string(size, 'x') + "\"]");
		g_messageQueues[sid].push_back(records.back().substr(2));
	}
	return records;
}

// A poll on the connection, narrowed, for 30 large replies queued now: its
// answer is part-written. The replies' records.
template <typename Server>
std::vector<std::string> PartWrittenAnswer(Server& server, PageConnection& connection, const std::string& sid,
	const std::string& query)
{
	EXPECT_TRUE(NarrowAgentSide(server, connection));
	std::vector<std::string> records = QueueLargeReplies(sid, 0, 30);
	connection.Get(query);
	EXPECT_TRUE(AnswerQueued(server, connection)) << "the answer left whole";
	return records;
}

// Reads the answer to the poll the page has sent, and polls again until
// count records came or a dozen answers did.
std::vector<std::string> Collect(PageConnection& page, const std::string& query, std::size_t count)
{
	std::vector<std::string> got;
	for (int answers = 0; answers < 12; ++answers)
	{
		const std::vector<std::string> records = EventRecords(page.Read().body);
		got.insert(got.end(), records.begin(), records.end());
		if (got.size() >= count)
			break;
		page.Get(query);
	}
	return got;
}

// A newer reply, made in the same turn of the loop as the reset of a poll
// whose answer is part-written and as the page's next poll on another
// connection, comes after the replies put back.
template <typename Connection>
void NewerReplyAfterTheOnesPutBack(bool tls)
{
	BasicConnectedPage<BasicPollingServer<Connection>> c(kPoll, tls);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	PageConnection held(server.Port(), 4096, tls);
	std::vector<std::string> expected = PartWrittenAnswer(server, held, sid, query);
	// The loop is kept from turning while the page resets, polls and posts.
	auto blocked = std::async(std::launch::async, [&server] {
		return server.OnLoop([] {
			std::this_thread::sleep_for(std::chrono::milliseconds(200));
			return 0;
		});
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	held.Reset();
	page.Get(query);
	poster.Post(query, "8:42[\"ev\"]");
	blocked.get();
	EXPECT_EQ("ok", poster.Read().body);
	expected.push_back("42[\"ev\"]");
	EXPECT_TRUE(expected == Collect(page, query, expected.size())) << "replies out of order, tls " << tls;
}

// Two answers part-written on two connections, both reset, the older first:
// the older answer's replies come first.
template <typename Connection>
void OlderAnswerFirst(bool tls)
{
	BasicConnectedPage<BasicPollingServer<Connection>> c(kPoll, tls);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	PageConnection first(server.Port(), 4096, tls);
	PageConnection second(server.Port(), 4096, tls);
	ASSERT_TRUE(NarrowAgentSide(server, second));
	std::vector<std::string> expected = PartWrittenAnswer(server, first, sid, query);
	const std::vector<std::string> newer = QueueLargeReplies(sid, 30, 20);
	expected.insert(expected.end(), newer.begin(), newer.end());
	second.Get(query);
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	first.Reset();
	ASSERT_TRUE(AnswerQueued(server, second));
	second.Reset();
	page.Get(query);
	EXPECT_TRUE(expected == Collect(page, query, expected.size())) << "replies out of order, tls " << tls;
}

} // namespace

TEST(PollingTransport, OpenConnectAndPollWithExactAnswers)
{
	PollingServer server;
	PageConnection page(server.Port());
	page.Get(kPoll, "/Tessark.IO/");
	const HttpResponse open = page.Read();
	const std::string sid = SidOf(open);
	ASSERT_EQ(20u, sid.size());
	EXPECT_EQ("96:0{\"pingInterval\":1000,\"pingTimeout\":60000,\"sid\":\"" + sid + "\",\"upgrades\":[\"websocket\"]}",
		open.body);
	EXPECT_EQ("99", open.Header("Content-Length"));
	ExpectHead(open, sid);
	EXPECT_EQ(0, g_sessionActive);

	page.Get(std::string(kPoll) + "&sid=" + Encoded(sid));
	const HttpResponse connected = page.Read();
	EXPECT_EQ("2:40", connected.body);
	ExpectHead(connected, sid);
	// Set just after the answer has left.
	EXPECT_TRUE(WaitUntil([] { return g_sessionActive == 1; }));

	// A second page may neither open nor use the connect of its own.
	PageConnection other(server.Port());
	other.Get(kPoll);
	EXPECT_EQ(kForbidden, other.Read().head);
	EXPECT_TRUE(other.ClosedByPeer());

	// An idle poll ends after about 900 ms, within the ping interval.
	const auto start = std::chrono::steady_clock::now();
	page.Get(std::string(kPoll) + "&sid=" + Encoded(sid));
	const HttpResponse idle = page.Read();
	EXPECT_EQ("1:3", idle.body);
	EXPECT_GE(ElapsedMs(start), 800);
	EXPECT_LE(ElapsedMs(start), 1000);
	ExpectHead(idle, sid);
}

TEST(PollingTransport, EventsRepliesPingsAndClose)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());

	// A reply queued while a GET is held leaves at once.
	page.Get(query);
	ASSERT_TRUE(page.Silent(150));
	auto start = std::chrono::steady_clock::now();
	g_messageStore.Push(sid, "[\"late\",1]");
	HttpResponse reply = page.Read();
	EXPECT_EQ("12:42[\"late\",1]", reply.body);
	ExpectHead(reply, sid);
	EXPECT_LE(ElapsedMs(start), 500);

	// An event: the held GET is the oldest poll only once the finished one
	// before it is used up by a first ping.
	page.Get(query);
	ASSERT_TRUE(page.Silent(100));
	poster.Post(query, "1:2");
	HttpResponse ok = poster.Read();
	EXPECT_EQ("ok", ok.body);
	ExpectHead(ok, sid, "text/html; charset=UTF-8");
	ASSERT_TRUE(page.Silent(100));
	start = std::chrono::steady_clock::now();
	poster.Post(query, "1:2");
	EXPECT_EQ("ok", poster.Read().body);
	EXPECT_EQ("1:3", page.Read().body);
	EXPECT_LE(ElapsedMs(start), 500);

	// A body of nothing the agent acts on is answered all the same; in a
	// batch, a record the body cannot hold ends it, the records before it
	// still count.
	const int before = EchoSocket::messages;
	poster.Post(query, "1:5");
	EXPECT_EQ("ok", poster.Read().body);
	PageConnection poster2(server.Port());
	poster2.Post(query, "1:29:42[\"x\"]");
	EXPECT_EQ("ok", poster2.Read().body);
	EXPECT_EQ(before, EchoSocket::messages);

	// Close: the held GET gets "6" and its connection ends; a new page may open.
	page.Get(query);
	ASSERT_TRUE(page.Silent(100));
	poster2.Post(query, "1:1");
	EXPECT_EQ("ok", poster2.Read().body);
	const HttpResponse closing = page.Read();
	EXPECT_EQ("1:6", closing.body);
	ExpectHead(closing, sid);
	EXPECT_TRUE(page.ClosedByPeer());
	EXPECT_TRUE(WaitUntil([] { return g_sessionActive == 0; }));
	PageConnection next(server.Port());
	next.Get(kPoll);
	EXPECT_EQ(20u, SidOf(next.Read()).size());
}

TEST(PollingTransport, ABatchedPostCountsEveryRecordAndIsAcknowledgedOnce)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());

	// A ping that fell due beside two events, as the page's client sends it.
	page.Get(query);
	ASSERT_TRUE(page.Silent(100));
	const int before = EchoSocket::messages;
	poster.Post(query, "1:29:42[\"a\",1]9:42[\"b\",2]");
	EXPECT_EQ("ok", poster.Read().body);
	EXPECT_TRUE(poster.Silent(300));
	EXPECT_EQ(before + 2, EchoSocket::messages);
	// Both replies, in one answer or two.
	std::vector<std::string> echoes;
	for (int poll = 0; poll < 6 && echoes.size() < 2; ++poll)
	{
		const std::string body = page.Read().body;
		const std::vector<std::string> got = EventRecords(body);
		if (got.empty())
		{
			EXPECT_EQ("1:3", body);
		}
		echoes.insert(echoes.end(), got.begin(), got.end());
		page.Get(query);
	}
	EXPECT_EQ((std::vector<std::string>{ "42[\"a\",1]", "42[\"b\",2]" }), echoes);

	// Nothing after a close counts.
	poster.Post(query, "1:19:42[\"c\",3]");
	EXPECT_EQ("ok", poster.Read().body);
	EXPECT_TRUE(poster.Silent(200));
	EXPECT_TRUE(WaitUntil([] { return g_sessionActive == 0; }));
	EXPECT_EQ(before + 2, EchoSocket::messages);
}

// socket.io-client packets the agent does not act on, and bodies that do not
// decode: each POST is answered "ok" at once, as any other, and acts on
// nothing, not even on the held poll; an event behind such a record acts.
TEST(PollingTransport, APostOfNothingActedOnIsAnsweredAndActsOnNothing)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	// The poll left ahead of the held one is used up first, as in a session.
	poster.Post(query, "1:2");
	ASSERT_EQ("ok", poster.Read().body);
	const auto held = std::chrono::steady_clock::now();
	page.Get(query);
	const int before = EchoSocket::messages;
	const std::string bodies[] = {
		"8:420[\"x\"]", // an event with an acknowledgement id
		"39:451-[\"x\",{\"_placeholder\":true,\"num\":0}]", // a binary event
		"8:40/other", // another namespace's connect
		"1:5", "1:6", "1:9", "2:41", // upgrade, noop, an unknown type, a disconnect
		"x", "0:", "-1:2", "5:42", // no record, or one the body cannot hold
		std::string("\x00\x01\xff", 3) + "4", // a binary payload: not UTF-8
	};
	for (const std::string& body : bodies)
	{
		poster.Post(query, body);
		const HttpResponse ok = poster.Read(2000);
		EXPECT_EQ("ok", ok.body) << "body \"" << body << "\"";
		EXPECT_EQ(before, EchoSocket::messages) << "body \"" << body << "\"";
		ExpectHead(ok, sid, "text/html; charset=UTF-8");
	}
	EXPECT_EQ("1:3", page.Read().body);
	EXPECT_GE(ElapsedMs(held), 800) << "the held poll was ended by a POST";
	EXPECT_EQ(1, g_sessionActive);

	// An event behind such records is acted on.
	page.Get(query);
	poster.Post(query, "8:420[\"x\"]8:40/other8:42[\"ev\"]");
	EXPECT_EQ("ok", poster.Read().body);
	EXPECT_EQ(before + 1, EchoSocket::messages);
	std::vector<std::string> got;
	for (int poll = 0; poll < 4 && got.empty(); ++poll)
	{
		got = EventRecords(page.Read().body);
		page.Get(query);
	}
	EXPECT_EQ(std::vector<std::string>{ "42[\"ev\"]" }, got);
}

TEST(PollingTransport, OneHeldGetPerConnectionAndRepliesWithoutDelay)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	const std::string get = "GET /tessark.io/?sid=" + Encoded(sid) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

	// Two GETs in one write: the first is answered at once, even though its
	// responder is stopped before it has begun to run; the second is held.
	auto start = std::chrono::steady_clock::now();
	page.Send(get + get);
	EXPECT_EQ("1:3", page.Read().body);
	EXPECT_LE(ElapsedMs(start), 600);
	EXPECT_TRUE(page.Silent(100));
	EXPECT_EQ("1:3", page.Read().body);

	// A queued reply wakes the waiting responder instead of waiting for its
	// next 100 ms check.
	std::vector<long> waits;
	for (int i = 0; i < 9; ++i)
	{
		page.Send(get);
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
		start = std::chrono::steady_clock::now();
		g_messageStore.Push(sid, "[\"now\"]");
		EXPECT_EQ("9:42[\"now\"]", page.Read().body);
		waits.push_back(ElapsedMs(start));
	}
	std::sort(waits.begin(), waits.end());
	EXPECT_LT(waits[4], 40);

	// A POST behind the held GET on the same connection: the GET is
	// answered first, then the POST, and the event's reply comes on the next
	// poll.
	page.Send(get);
	ASSERT_TRUE(page.Silent(100));
	const int before = EchoSocket::messages;
	start = std::chrono::steady_clock::now();
	page.Post("sid=" + Encoded(sid), "8:42[\"ev\"]");
	EXPECT_EQ("1:3", page.Read().body);
	EXPECT_LE(ElapsedMs(start), 600);
	EXPECT_EQ("ok", page.Read().body);
	EXPECT_TRUE(WaitUntil([before] { return EchoSocket::messages == before + 1; }));
	page.Send(get);
	EXPECT_EQ("8:42[\"ev\"]", page.Read().body);

	// Two GETs in one write while a reply waits: the first, stopped by the
	// second, still carries it.
	poster.Post(query, "8:42[\"up\"]");
	ASSERT_EQ("ok", poster.Read().body);
	page.Send(get + get);
	EXPECT_EQ("8:42[\"up\"]", page.Read().body);
}

// One body may batch many records: every one acts, in order, a slice at a
// time; the replies come many to a poll, the loop answers others meanwhile,
// and the "ok" comes once the last record has acted.
TEST(PollingTransport, EveryRecordOfALongPostActsInOrder)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	constexpr int kRecords = 1000;
	std::string body;
	for (int i = 0; i < kRecords; ++i)
	{
		const std::string event = "42[\"e\"," + std::to_string(i) + "]";
		body += std::to_string(event.size()) + ":" + event;
	}
	poster.Post(query, body);
	std::vector<std::string> echoes;
	int polls = 0;
	for (; echoes.size() < kRecords && polls < 400; ++polls)
	{
		page.Get(query);
		const std::vector<std::string> got = EventRecords(page.Read().body);
		echoes.insert(echoes.end(), got.begin(), got.end());
		// Another client is answered while the work goes on.
		if (polls == 2)
		{
			PageConnection other(server.Port());
			const auto start = std::chrono::steady_clock::now();
			other.Get(kPoll);
			EXPECT_EQ(kForbidden, other.Read().head);
			EXPECT_LT(ElapsedMs(start), 500);
		}
	}
	ASSERT_EQ(static_cast<std::size_t>(kRecords), echoes.size());
	for (int i = 0; i < kRecords; ++i)
		ASSERT_EQ("42[\"e\"," + std::to_string(i) + "]", echoes[i]) << i;
	EXPECT_LT(polls, kRecords / 2) << "replies came one to a poll";
	EXPECT_EQ("ok", poster.Read().body);
}

TEST(PollingTransport, RefusalsAndOtherPaths)
{
	PollingServer server;
	PageConnection elsewhere(server.Port());
	elsewhere.Get(kPoll, "/socket.io/");
	EXPECT_TRUE(elsewhere.Silent(300));

	// Two pages opened before either connected: only the first connects.
	const int connects = EchoSocket::connects;
	PageConnection first(server.Port());
	PageConnection second(server.Port());
	first.Get(kPoll);
	second.Get(kPoll);
	const std::string sidFirst = SidOf(first.Read());
	const std::string sidSecond = SidOf(second.Read());
	first.Get(std::string(kPoll) + "&sid=" + Encoded(sidFirst));
	EXPECT_EQ("2:40", first.Read().body);
	EXPECT_TRUE(WaitUntil([] { return g_sessionActive == 1; }));
	second.Get(std::string(kPoll) + "&sid=" + Encoded(sidSecond));
	EXPECT_EQ(kForbidden, second.Read().head);
	EXPECT_TRUE(second.ClosedByPeer());
	EXPECT_EQ(connects + 1, EchoSocket::connects);

	// The page's POST without a body, or by another method.
	const std::string query = std::string(kPoll) + "&sid=" + Encoded(sidFirst);
	PageConnection empty(server.Port());
	empty.Post(query, "");
	EXPECT_EQ("HTTP/1.1 404 Not found\r\n\r\n", empty.Read().head);
	EXPECT_TRUE(empty.ClosedByPeer());
	PageConnection put(server.Port());
	put.Send("PUT /tessark.io/?sid=" + Encoded(sidFirst) + " HTTP/1.1\r\nContent-Length: 3\r\n\r\n1:2");
	EXPECT_EQ("HTTP/1.1 404 Not found\r\n\r\n", put.Read().head);

	// Anything that is not the connected page's: a close or an event without
	// an id, under a made-up one or the other page's, a poll under such an id.
	const int messages = EchoSocket::messages;
	for (const std::string& foreign : { std::string(kPoll), query + "x", std::string(kPoll) + "&sid=" + sidSecond })
	{
		for (const char* body : { "1:1", "8:42[\"ev\"]" })
		{
			PageConnection stranger(server.Port());
			stranger.Post(foreign, body);
			EXPECT_EQ(kForbidden, stranger.Read().head) << foreign << " " << body;
			EXPECT_TRUE(stranger.ClosedByPeer());
		}
		PageConnection poller(server.Port());
		poller.Get(foreign + "&sid=made-up");
		EXPECT_EQ(kForbidden, poller.Read().head);
	}
	EXPECT_EQ(messages, EchoSocket::messages);
	EXPECT_EQ(1, g_sessionActive);
	first.Get(query);
	EXPECT_EQ("1:3", first.Read().body);
}

TEST(PollingTransport, JsonpFramingOverRawHttp)
{
	PollingServer server;
	PageConnection page(server.Port());
	page.Get(std::string(kPoll) + "&j=0");
	const HttpResponse open = page.Read();
	const std::string sid = SidOf(open);
	EXPECT_EQ("___eio[0](\"96:0{\\\"pingInterval\\\":1000,\\\"pingTimeout\\\":60000,\\\"sid\\\":\\\"" + sid
		+ "\\\",\\\"upgrades\\\":[\\\"websocket\\\"]}\");", open.body);
	// Each request is framed as its own query asks: the connect without "j"
	// is plain, though the connection's last request was JSONP.
	page.Get(std::string(kPoll) + "&sid=" + Encoded(sid));
	EXPECT_EQ("2:40", page.Read().body);

	// A form post: URL-encoded, then one byte per character; Korean and a
	// quote come back escaped for the script, lengths before escaping.
	const std::string query = std::string(kPoll) + "&j=0&sid=" + Encoded(sid);
	PageConnection poster(server.Port());
	poster.Post(query, "d=16%3A42%5B%22ev%22%2C%22%C3%AD%C2%95%C2%9C%5C%22%22%5D");
	EXPECT_EQ("ok", poster.Read().body);
	page.Get(query);
	const HttpResponse reply = page.Read();
	EXPECT_EQ("___eio[0](\"16:42[\\\"ev\\\",\\\"\xC3\xAD\xC2\x95\xC2\x9C\\\\\\\"\\\"]\");", reply.body);

	// engine.io-client's parser, fed by a script tag, sees the event.
	EXPECT_EQ("[{\"type\":\"message\",\"data\":\"2[\\\"ev\\\",\\\"한\\\\\\\"\\\"]\"}]", PageReads(reply.body, true));
}

TEST(PollingTransport, UpgradeOnThePollingPathStaysAWebSocket)
{
	PollingServer server;
	// A probe to move a polling session onto a WebSocket is refused.
	PageConnection probe(server.Port());
	probe.Send("GET /tessark.io/?EIO=3&transport=websocket&sid=abc" + kUpgrade.substr(kUpgrade.find(" HTTP/")));
	EXPECT_EQ("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n", probe.Read().head);
	EXPECT_TRUE(probe.ClosedByPeer());
	EXPECT_EQ(0, g_sessionActive);

	PageConnection page(server.Port());
	page.Send("GET /tessark.io/?EIO=3&transport=websocket" + kUpgrade.substr(kUpgrade.find(" HTTP/")));
	const HttpResponse upgraded = page.Read();
	EXPECT_EQ(0u, upgraded.head.find("HTTP/1.1 101 Switching Protocols\r\n")) << upgraded.head;
	// A masked text frame "Hello" is echoed as one unmasked frame, and no
	// HTTP text ever follows on the stream.
	page.Send(std::string("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11));
	ASSERT_FALSE(page.Silent(2000));
	EXPECT_EQ(std::string("\x81\x05Hello", 7), page.Pending());
	EXPECT_TRUE(page.Silent(1500));
	EXPECT_EQ(0u, server.Polls());
}

TEST(PollingTransport, UnknownIdsAndUnconnectedOpensLeaveNothingBehind)
{
	PollingServer server;
	const std::size_t baseline = server.TableEntries();
	for (int i = 0; i < 100; ++i)
	{
		PageConnection once(server.Port());
		once.Get(std::string(kPoll) + "&sid=gone" + std::to_string(i));
		EXPECT_EQ(kForbidden, once.Read().head);
	}
	// Opens that never connect, on one connection: only the latest few are
	// remembered.
	PageConnection opener(server.Port());
	for (int i = 0; i < 60; ++i)
	{
		opener.Get(kPoll);
		EXPECT_EQ(20u, SidOf(opener.Read()).size());
	}
	EXPECT_EQ(0u, server.Polls());
	EXPECT_LE(server.TableEntries(), baseline + PageSession::kOpenedLimit);
}

// A ping answers the page's live held poll at once, not a poll of a
// connection that has closed meanwhile.
TEST(PollingTransport, APingFinishesTheLivePollNotADeadOne)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	PageConnection dead(server.Port());
	dead.Get(query);
	ASSERT_TRUE(dead.Silent(100));
	page.Get(query);
	ASSERT_TRUE(page.Silent(100));
	dead.Close();
	ASSERT_TRUE(WaitUntil([&server] { return server.Polls() == 1; }));
	const auto start = std::chrono::steady_clock::now();
	poster.Post(query, "1:2");
	EXPECT_EQ("ok", poster.Read().body);
	EXPECT_EQ("1:3", page.Read().body);
	EXPECT_LT(ElapsedMs(start), 400);
}

// A reply taken for a GET whose connection is gone before the answer could
// leave goes to the page's next poll, also when the responder takes it only
// after the connection went; once the session has ended, nowhere.
TEST(PollingTransport, TheReplyOfADeadPollGoesToTheNextPollOfALiveSessionOnly)
{
	const struct
	{
		bool ended, late;
	} cases[] = { { false, false }, { true, false }, { false, true } };
	for (const auto& [ended, late] : cases)
	{
		ConnectedPage c(kPoll);
		auto& [server, page, sid, query, poster] = c;
		ASSERT_EQ(20u, sid.size());
		page.Get(query);
		ASSERT_TRUE(page.Silent(100));
		const int port = page.LocalPort();
		if (late)
		{
			// The responder's look at the store waits for this lock.
			MutexLock lock(g_messageStoreMutex);
			g_messageQueues[sid].push_back("[\"taken\"]");
			page.Close();
			ASSERT_TRUE(WaitUntil([&server, port] {
				return server.OnLoop([port] { return EchoSocket::OfClientPort(port) == nullptr; });
			}));
		}
		else
		{
			// Between two turns: the responder takes the reply, the session
			// ends or not, and the connection goes before the loop sends the
			// answer.
			ASSERT_TRUE(server.OnLoop([&] {
				g_messageStore.Push(sid, "[\"taken\"]");
				WaitUntil([&] { return g_messageStore.Count(sid) == 0; });
				if (ended)
					PageSession::End();
				EchoSocket* held = EchoSocket::OfClientPort(port);
				if (held != nullptr)
				{
					held->SetFlushBeforeClose(false);
					held->SetCloseAndDelete(true);
				}
				return held != nullptr;
			}));
			EXPECT_TRUE(page.ClosedByPeer());
			EXPECT_EQ("", page.Pending());
		}
		// The responder has ended: a task after the next turn sees where its
		// answer went.
		EXPECT_TRUE(WaitUntil([&server] { return server.Polls() == 0; }));
		if (ended)
		{
			EXPECT_EQ(0u, server.OnLoop([&sid] { return g_messageStore.Count(sid); }));
			continue;
		}
		PageConnection next(server.Port());
		next.Get(query);
		EXPECT_EQ("11:42[\"taken\"]", next.Read().body);
	}
}

// A poll answer's replies stay the agent's until the whole answer has been
// handed to the system. When the held poll's connection was reset before
// that, on the first write or with part of the answer still queued, they
// come on the page's next poll, once.
TEST(PollingTransport, TheRepliesOfAnAnswerCutShortComeOnTheNextPollOnce)
{
	// Reset while the agent works on the page's event.
	{
		BasicPollingServer<BusyEcho> server;
		PageConnection page(server.Port());
		const std::string sid = OpenAndConnect(page);
		ASSERT_EQ(20u, sid.size());
		const std::string query = std::string(kPoll) + "&sid=" + Encoded(sid);
		// A finished poll ahead of the held one, for the event to take off.
		g_messageStore.Push(sid, "[\"first\"]");
		page.Get(query);
		ASSERT_EQ("11:42[\"first\"]", page.Read().body);
		PageConnection held(server.Port());
		held.Get(query);
		ASSERT_TRUE(held.Silent(100));
		PageConnection poster(server.Port());
		poster.Post(query, "8:42[\"ev\"]");
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		held.Reset();
		EXPECT_EQ("ok", poster.Read().body);
		page.Get(query);
		EXPECT_EQ("8:42[\"ev\"]", page.Read().body);
		page.Get(query);
		EXPECT_EQ("1:3", page.Read().body);
	}

	// Reset with most of an answer of about 1 MB still queued.
	{
		ConnectedPage c(kPoll);
		auto& [server, page, sid, query, poster] = c;
		ASSERT_EQ(20u, sid.size());
		PageConnection held(server.Port(), 4096);
		ASSERT_TRUE(NarrowAgentSide(server, held));
		held.Get(query);
		ASSERT_TRUE(held.Silent(100));
		const std::vector<std::string> expected = QueueLargeReplies(sid, 0, 250, 4000);
		ASSERT_TRUE(AnswerQueued(server, held));
		held.Reset();
		page.Get(query);
		const std::vector<std::string> got = Collect(page, query, expected.size());
		EXPECT_EQ(expected.size(), got.size());
		EXPECT_TRUE(expected == got) << "replies out of order";
		page.Get(query);
		EXPECT_EQ("1:3", page.Read().body);
	}

	// Nothing newer overtakes the replies put back, plain and TLS.
	NewerReplyAfterTheOnesPutBack<BusyEcho>(false);
	NewerReplyAfterTheOnesPutBack<TlsOf<BusyEcho>>(true);
	OlderAnswerFirst<EchoSocket>(false);
	OlderAnswerFirst<TlsOf<EchoSocket>>(true);
}

// An answer read slowly, 4 KiB at a time, while the page posts 100 events:
// the page's newer poll gets nothing before the answer's last byte has been
// taken by the system, and every reply, in order, as soon as it has.
TEST(PollingTransport, AnAnswerReadSlowlyHoldsBackNewerRepliesUntilItIsRead)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	PageConnection held(server.Port(), 4096);
	const std::vector<std::string> large = PartWrittenAnswer(server, held, sid, query);
	std::string body;
	std::vector<std::string> events;
	for (int i = 0; i < 100; ++i)
	{
		events.push_back("42[\"e\"," + std::to_string(i) + "]");
		body += std::to_string(events.back().size()) + ":" + events.back();
	}
	poster.Post(query, body);
	EXPECT_EQ("ok", poster.Read().body);
	page.Get(query);
	EXPECT_TRUE(page.Silent(100)) << "a newer reply left before the answer";
	EXPECT_TRUE(large == EventRecords(held.Read(10000, 2).body));
	const auto read = std::chrono::steady_clock::now();
	EXPECT_TRUE(events == Collect(page, query, events.size()));
	EXPECT_LT(ElapsedMs(read), 500);
}

// An answer of which the system takes no byte ends its connection after
// the request deadline, also while its client renews the deadline with new
// polls and never reads; the answer's replies come on the page's next poll.
TEST(PollingTransport, AnAnswerThatDoesNotMoveEndsItsConnection)
{
	BasicConnectedPage<BasicPollingServer<ShortDeadlineEcho>> c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	PageConnection held(server.Port(), 4096);
	const std::vector<std::string> expected = PartWrittenAnswer(server, held, sid, query);
	const auto start = std::chrono::steady_clock::now();
	std::atomic<bool> stop{ false };
	std::thread renewing([&] {
		for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(300)))
			held.Get(query);
	});
	page.Get(query);
	const std::vector<std::string> got = Collect(page, query, expected.size());
	const long took = ElapsedMs(start);
	stop = true;
	renewing.join();
	EXPECT_TRUE(expected == got) << got.size() << " replies";
	EXPECT_GE(took, 1500);
	EXPECT_LT(took, 5000);
}

// A POST of the page waiting behind the POST that closes the session is
// refused when the session ends, not left waiting for good.
TEST(PollingTransport, APostWaitingBehindTheCloseIsRefused)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	PageConnection behind(server.Port());
	ASSERT_TRUE(behind.Silent(50));
	// More events than replies may wait, then the close: with no poll to
	// take the replies, the first POST stops short of its close.
	std::string body;
	for (std::size_t i = 0; i < MessageStore::kQueueLimit + 8; ++i)
		body += "8:42[\"ev\"]";
	poster.Post(query, body + "1:1");
	ASSERT_TRUE(poster.Silent(200));
	// Read while the first waits.
	behind.Post(query, "8:42[\"ev\"]");
	ASSERT_TRUE(behind.Silent(200));
	page.Get(query);
	EXPECT_FALSE(EventRecords(page.Read().body).empty());
	EXPECT_EQ("ok", poster.Read().body);
	ASSERT_EQ(kForbidden, behind.Read(5000).head);
	EXPECT_TRUE(behind.ClosedByPeer());
}

// A POST's connection has no deadline only until its "ok": left idle after
// it, it is closed at the deadline.
TEST(PollingTransport, APostsConnectionIdleAfterItsOkIsClosedAtTheDeadline)
{
	BasicPollingServer<ShortDeadlineEcho> server;
	PageConnection page(server.Port());
	const std::string sid = OpenAndConnect(page);
	ASSERT_EQ(20u, sid.size());
	PageConnection poster(server.Port());
	poster.Post(std::string(kPoll) + "&sid=" + Encoded(sid), "1:2");
	EXPECT_EQ("ok", poster.Read().body);
	const auto start = std::chrono::steady_clock::now();
	EXPECT_TRUE(poster.ClosedByPeer(10000)) << "left open";
	EXPECT_GT(ElapsedMs(start), 1500);
}

// A page that polls and polls without ever posting leaves a bounded number
// of finished polls behind.
TEST(PollingTransport, FinishedPollsStayBounded)
{
	ConnectedPage c(kPoll);
	auto& [server, page, sid, query, poster] = c;
	ASSERT_EQ(20u, sid.size());
	for (int i = 0; i < 100; ++i)
	{
		g_messageStore.Push(sid, "[\"r\"]");
		page.Get(query);
		ASSERT_EQ("7:42[\"r\"]", page.Read().body) << i;
	}
	// The latest poll, and the one before it when its responder had not yet
	// marked itself finished at the latest poll's arrival.
	EXPECT_LE(server.Polls(), WebSocketServer::kFinishedPollLimit + 2);
}

// The "6" of the leaving page's second held poll may go out after the next
// page has connected: it does not end that page.
TEST(PollingTransport, ALateCloseAnswerLeavesTheNextPageConnected)
{
	PollingServer server;
	PageConnection next(server.Port());
	next.Get(kPoll);
	const std::string nextSid = SidOf(next.Read());
	ASSERT_EQ(20u, nextSid.size());
	PageConnection first(server.Port());
	const std::string sid = OpenAndConnect(first);
	ASSERT_EQ(20u, sid.size());
	const std::string query = std::string(kPoll) + "&sid=" + Encoded(sid);
	PageConnection second(server.Port());
	second.Get(query);
	ASSERT_TRUE(second.Silent(50));
	first.Get(query);
	ASSERT_TRUE(first.Silent(50));
	// The close and the next page's connect are read in one turn of the
	// loop, in this order (the POST's connection was accepted first).
	PageConnection poster(server.Port());
	ASSERT_TRUE(poster.Silent(50));
	PageConnection connector(server.Port());
	ASSERT_TRUE(connector.Silent(50));
	auto blocked = std::async(std::launch::async,
		[&server] { return server.OnLoop([] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); return 0; }); });
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	poster.Post(query, "1:1");
	connector.Get(std::string(kPoll) + "&sid=" + Encoded(nextSid));
	blocked.get();
	EXPECT_EQ("ok", poster.Read().body);
	EXPECT_EQ("2:40", connector.Read().body);
	EXPECT_EQ("1:6", second.Read().body);
	EXPECT_EQ("1:6", first.Read().body);
	connector.Get(std::string(kPoll) + "&sid=" + Encoded(nextSid));
	EXPECT_EQ("1:3", connector.Read().body);
	EXPECT_EQ(1, g_sessionActive);
}
