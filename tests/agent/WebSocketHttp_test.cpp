#include "AgentTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using Events = std::vector<std::string>;

namespace
{

// Feeds the text in reads of 16 KiB.
void FeedInPieces(WebSocketFixture& f, const std::string& text)
{
	for (std::size_t sent = 0; sent < text.size(); sent += 16384)
		f.Feed(text.substr(sent, 16384));
}

} // namespace

TEST(HttpRequest, RequestsBodiesByLengthAndChunkedAndKeepAlive)
{
	WebSocketFixture f;
	f.Feed("GET /tessark.io/?EIO=3&transport=polling HTTP/1.1\r\nHost: localhost:8080\r\n\r\n");
	EXPECT_EQ((Events{"first GET|/tessark.io/|EIO=3&transport=polling", "header Host=localhost:8080", "end",
				  "complete "}),
		f.socket->events);
	EXPECT_EQ("HTTP/1.1", f.socket->GetVersion());
	// A keep-alive request without a body leaves the connection in line mode;
	// an HTTP/1.0 one does not.
	EXPECT_TRUE(f.socket->LineMode());
	f.socket->events.clear();
	f.Feed("post /x HTTP/1.0\r\n\r\n");
	EXPECT_EQ((Events{"first post|/x|", "end", "complete "}), f.socket->events);
	EXPECT_FALSE(f.socket->LineMode());

	// Header names match without regard to case; a body may come in pieces
	// and chunked, with trailer fields; the next request may follow in the
	// same read.
	WebSocketFixture g;
	g.Feed("POST /a HTTP/1.1\r\nCONTENT-LENGTH: 12\r\n\r");
	g.Feed("\nhello ");
	g.Feed("world!GET /b HTTP/1.1\r\n\r\n");
	g.Feed("POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
	g.Feed("POST /d HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\na;name=value\r\n0123456789\r\n0\r\nX-Sum: a");
	g.Feed("bc\r\nX-Two: 2\r\n\r\nGET /e HTTP/1.1\r\n\r\n");
	EXPECT_EQ((Events{"first POST|/a|", "header CONTENT-LENGTH=12", "end", "complete hello world!", "first GET|/b|",
				  "end", "complete ", "first POST|/c|", "header Transfer-Encoding=chunked", "end", "complete hello",
				  "first POST|/d|", "header Transfer-Encoding=Chunked", "end", "complete 0123456789", "first GET|/e|",
				  "end", "complete "}),
		g.socket->events);

	// A request that is not kept alive serves once: bytes past its body
	// reach nobody.
	g.socket->events.clear();
	g.Feed("POST /f HTTP/1.1\r\nConnection: close\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n");
	g.Feed("more bytes");
	EXPECT_EQ((Events{"first POST|/f|", "header Connection=close", "header Content-Length=3", "end", "complete abc"}),
		g.socket->events);
	EXPECT_TRUE(g.socket->body.empty());
}

// Nothing after a held request is served before its answer. What follows it
// is kept and served in order once it is released; the connection is read
// all the while, so a peer that leaves is seen at once, and past the limit
// of what is kept it is no longer read, nothing dropped.
TEST(HttpRequest, WhatFollowsAHeldRequestWaitsAndItsPeerLeavingIsSeen)
{
	const std::string post = "POST /p HTTP/1.1\r\nContent-Length: 1\r\n\r\nx";
	auto served = [](WebSocketFixture& f) {
		Events firsts;
		for (const std::string& event : f.socket->events)
			if (event.rfind("first ", 0) == 0 || event.rfind("complete ", 0) == 0)
				firsts.push_back(event.substr(0, 40));
		return firsts;
	};
	WebSocketFixture f;
	f.socket->holdPosts = true;
	f.Feed(post + "GET /a HTTP/1.1\r\n\r\n");
	f.Feed("GET /b HTTP/1.1\r\n\r\n");
	EXPECT_EQ((Events{ "first POST|/p|", "complete x" }), served(f));
	f.socket->ReleaseInput();
	EXPECT_EQ((Events{ "first POST|/p|", "complete x", "first GET|/a|", "complete ", "first GET|/b|", "complete " }),
		served(f));

	// A second POST among what waits, and more than a read's worth of GETs
	// behind it: each release serves up to the next held request.
	WebSocketFixture p;
	p.socket->holdPosts = true;
	p.Feed(post);
	std::string gets;
	Events getsServed;
	for (int i = 0; gets.size() < 40000; ++i)
	{
		gets += "GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
		getsServed.insert(getsServed.end(), { "first GET|/" + std::to_string(i) + "|", "complete " });
	}
	FeedInPieces(p, "POST /q HTTP/1.1\r\nContent-Length: 1\r\n\r\ny" + gets);
	p.socket->ReleaseInput();
	Events expected{ "first POST|/p|", "complete x", "first POST|/q|", "complete y" };
	EXPECT_EQ(expected, served(p));
	p.socket->ReleaseInput();
	expected.insert(expected.end(), getsServed.begin(), getsServed.end());
	EXPECT_EQ(expected, served(p));

	for (const bool reset : { false, true })
	{
		WebSocketFixture g;
		g.socket->holdPosts = true;
		g.Feed(post);
		reset ? g.pair.ResetPeer() : g.pair.ClosePeer();
		EXPECT_TRUE(g.Closed(20)) << "reset " << reset;
	}

	// Twenty requests of 100,000 bytes each behind the held one, from a peer
	// that blocks while they are not read.
	WebSocketFixture h;
	h.socket->holdPosts = true;
	h.Feed(post);
	std::string behind;
	for (char c = 'a'; c < 'u'; ++c)
		behind += "GET /" + std::string(1, c) + " HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, c);
	std::atomic<bool> sent{ false };
	std::thread peer([&] {
		ssize_t k = 0;
		for (std::size_t at = 0; at < behind.size() && k >= 0; at += static_cast<std::size_t>(k))
			k = ::send(h.pair.fd[1], behind.data() + at, behind.size() - at, MSG_NOSIGNAL);
		sent = k >= 0;
	});
	for (int turns = 0; turns < 300; ++turns)
		h.handler.Select(0, 1000);
	int unread = 0;
	::ioctl(h.pair.fd[0], FIONREAD, &unread);
	EXPECT_FALSE(sent);
	EXPECT_GT(unread, 0);
	h.socket->ReleaseInput();
	for (int turns = 0; turns < 5000 && (!sent || served(h).size() < 42); ++turns)
		h.handler.Select(0, 1000);
	if (!sent)
		::shutdown(h.pair.fd[1], SHUT_RDWR);
	peer.join();
	expected = { "first POST|/p|", "complete x" };
	for (char c = 'a'; c < 'u'; ++c)
		expected.insert(expected.end(), { "first GET|/" + std::string(1, c) + "|", "complete " + std::string(31, c) });
	EXPECT_EQ(expected, served(h));
}

TEST(HttpRequest, ResponseHeadIsByteExact)
{
	WebSocketFixture f;
	f.Feed("GET / HTTP/1.1\r\n\r\n");
	f.socket->SetStatusCode("200");
	f.socket->SetReasonPhrase("OK");
	f.socket->SetResponseHeader("X-XSS-Protection", std::string("0"));
	f.socket->SetResponseHeader("date", std::string("old"));
	f.socket->SetResponseHeader("Content-Length", "%d", 42);
	f.socket->SetResponseHeader("Connection", std::string("keep-alive"));
	f.socket->SetResponseHeader("Access-Control-Allow-Origin", std::string("*"));
	f.socket->SetResponseHeader("Date", std::string("Sun, 06 Dec 2026 23:00:00 GMT"));
	f.socket->SetResponseHeader("Value", "%s", "100% finished");
	f.socket->SendResponseHead();
	EXPECT_EQ("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: keep-alive\r\nContent-Length: 42\r\n"
			  "date: Sun, 06 Dec 2026 23:00:00 GMT\r\nValue: 100% finished\r\nX-XSS-Protection: 0\r\n\r\n",
		f.Received());
	EXPECT_EQ("e-tessark/1.0.0", f.socket->ProductToken());

	// The request reset empties the header map; before any request line the
	// head says HTTP/1.0.
	f.socket->ResetRequest();
	std::string head;
	f.socket->BuildResponseHead(head);
	EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", head);
	WebSocketFixture fresh;
	fresh.socket->BuildResponseHead(head);
	EXPECT_EQ("HTTP/1.0  \r\n\r\n", head);

	// A request line without a version, or cut by a NUL, is answered with a
	// version every client reads.
	for (const std::string& line : { std::string("GET /"), std::string("GET / HTTP/1.1", 6) + std::string(1, '\0') + "HTTP/1.1",
			 std::string("GET / junk") })
	{
		WebSocketFixture g;
		g.Feed(line + "\r\n\r\n");
		g.socket->SetStatusCode("200");
		g.socket->SetReasonPhrase("OK");
		g.socket->BuildResponseHead(head);
		EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\n", head) << line;
	}
}

TEST(HttpRequest, HeaderCountLimit)
{
	std::string head = "GET / HTTP/1.1\r\n";
	for (int i = 0; i < 201; ++i)
		head += "X-" + std::to_string(i) + ": v\r\n";
	WebSocketFixture ok;
	ok.Feed(head + "\r\n");
	EXPECT_EQ("complete ", ok.socket->events.back());
	EXPECT_TRUE(ok.log.entries.empty());

	WebSocketFixture over;
	over.Feed(head + "X-201: v\r\n\r\n");
	EXPECT_EQ("header X-201=v", over.socket->events.back());
	EXPECT_TRUE(over.Closed());
	const LogEntry* fatal = over.log.Find("http header count exceeds builtin limit of (200)");
	ASSERT_NE(nullptr, fatal);
	EXPECT_EQ(202, fatal->code);
	EXPECT_EQ("OnLine", fatal->call);
}

// A length that is not a plain decimal number within 1 MiB closes the
// connection before any body byte is taken; so does a chunked body that is
// malformed or grows past 1 MiB. Exactly 1 MiB passes either way.
TEST(HttpRequest, BodyOutsideTheLimitCloses)
{
	for (const char* value : {"-1", "abc", "12abc", "", "+5", "99999999999999999999999", "4294967308", "1048577"})
	{
		SCOPED_TRACE(value);
		WebSocketFixture f;
		f.Feed(std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\nbody");
		EXPECT_TRUE(f.Closed());
		EXPECT_EQ(Events{"first POST|/|"}, Events(f.socket->events.begin(), f.socket->events.end() - 1));
		EXPECT_TRUE(f.socket->body.empty());
		EXPECT_NE(nullptr, f.log.Find("http content-length is not a length within the builtin limit of (1048576)"));
	}
	const std::string tooLarge = "http chunked body exceeds builtin limit of (1048576)";
	// Trailer fields count with the head's lines.
	std::string manyTrailers = "0\r\n";
	for (int i = 0; i < 201; ++i)
		manyTrailers += "X: y\r\n";
	const std::pair<std::string, std::string> chunked[] = {{"zz\r\n", "http chunk size is not hexadecimal"},
		{"\r\n", "http chunk size is not hexadecimal"}, {"-5\r\n", "http chunk size is not hexadecimal"},
		{"100001\r\n", tooLarge}, {"ffffffffffffffffffff1\r\n", tooLarge},
		{"80000\r\n" + std::string(0x80000, 'x') + "\r\n80001\r\n", tooLarge},
		{std::string(9000, '1'), "http chunk line too long"},
		{"3\r\nabcXY0\r\n\r\n", "http chunk data not followed by CR LF"},
		{"3\r\nabc\rX0\r\n\r\n", "http chunk data not followed by CR LF"},
		{manyTrailers, "http header count exceeds builtin limit of (200)"}};
	for (const auto& [chunks, log] : chunked)
	{
		SCOPED_TRACE(log);
		WebSocketFixture f;
		f.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
		FeedInPieces(f, chunks);
		EXPECT_TRUE(f.Closed());
		EXPECT_NE(nullptr, f.log.Find(log));
		EXPECT_NE("complete", f.socket->events.back().substr(0, 8));
	}

	const std::string half(0x80000, 'y');
	WebSocketFixture length;
	length.Feed("POST / HTTP/1.1\r\nContent-Length: 1048576 \r\n\r\n");
	FeedInPieces(length, half + half);
	ASSERT_EQ(4u, length.socket->events.size());
	EXPECT_TRUE("complete " + half + half == length.socket->events[3]);
	WebSocketFixture twoChunks;
	twoChunks.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n80000\r\n");
	FeedInPieces(twoChunks, half);
	twoChunks.Feed("\r\n80000\r\n");
	FeedInPieces(twoChunks, half);
	twoChunks.Feed("\r\n0\r\n\r\n");
	EXPECT_TRUE("complete " + half + half == twoChunks.socket->events.back());
	EXPECT_FALSE(twoChunks.Closed());
}
