#include "AgentTestSupport.h"

#include <gtest/gtest.h>

using Events = std::vector<std::string>;

TEST(HttpRequest, RequestLinesHeadersAndKeepAlive)
{
	WebSocketFixture f;
	f.Feed("GET /tessark.io/?EIO=3&transport=polling HTTP/1.1\r\nHost: localhost:8080\r\n\r\n");
	EXPECT_EQ((Events{"first GET|/tessark.io/|EIO=3&transport=polling", "header Host=localhost:8080", "end",
				  "complete "}),
		f.socket->events);
	EXPECT_EQ("HTTP/1.1", f.socket->GetVersion());
	// A keep-alive request without a body leaves the connection in line mode.
	EXPECT_TRUE(f.socket->LineMode());

	// Several requests, one after another, on the one connection; a status
	// line changes no request field; an empty request line is a request.
	f.socket->events.clear();
	f.Feed("post /x HTTP/1.0\r\n\r\n");
	EXPECT_EQ((Events{"first post|/x|", "end", "complete "}), f.socket->events);
	EXPECT_FALSE(f.socket->LineMode());
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
	EXPECT_EQ("HTTP/1.1 200 OK\r\n"
			  "Access-Control-Allow-Origin: *\r\n"
			  "Connection: keep-alive\r\n"
			  "Content-Length: 42\r\n"
			  "date: Sun, 06 Dec 2026 23:00:00 GMT\r\n"
			  "Value: 100% finished\r\n"
			  "X-XSS-Protection: 0\r\n"
			  "\r\n",
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
}

TEST(HttpRequest, BodiesByLengthAndChunkedWithPipelinedRequests)
{
	WebSocketFixture f;
	// Header names match without regard to case; the body may come in
	// pieces; the next request may follow in the same read.
	f.Feed("POST /a HTTP/1.1\r\nCONTENT-LENGTH: 12\r\n\r");
	f.Feed("\nhello ");
	f.Feed("world!GET /b HTTP/1.1\r\n\r\n");
	EXPECT_EQ((Events{"first POST|/a|", "header CONTENT-LENGTH=12", "end", "complete hello world!", "first GET|/b|",
				  "end", "complete "}),
		f.socket->events);

	f.socket->events.clear();
	f.Feed("POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
	f.Feed("POST /d HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\na;name=value\r\n0123456789\r\n0\r\n");
	f.Feed("\r\nGET /e HTTP/1.1\r\n\r\n");
	EXPECT_EQ((Events{"first POST|/c|", "header Transfer-Encoding=chunked", "end", "complete hello",
				  "first POST|/d|", "header Transfer-Encoding=Chunked", "end", "complete 0123456789",
				  "first GET|/e|", "end", "complete "}),
		f.socket->events);

	// A request that is not kept alive serves once: bytes past its body
	// reach nobody.
	f.socket->events.clear();
	f.Feed("POST /f HTTP/1.1\r\nConnection: close\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n");
	f.Feed("more bytes");
	EXPECT_EQ((Events{"first POST|/f|", "header Connection=close", "header Content-Length=3", "end", "complete abc"}),
		f.socket->events);
	EXPECT_TRUE(f.socket->body.empty());
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
// connection before any body byte is taken.
TEST(HttpRequest, ContentLengthOutsideTheLimitCloses)
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

	WebSocketFixture f;
	const std::string body(WebSocket::kMaxBodySize, 'b');
	f.Feed("POST / HTTP/1.1\r\nContent-Length: 1048576 \r\n\r\n");
	for (std::size_t sent = 0; sent < body.size(); sent += 16384)
		f.Feed(body.substr(sent, 16384));
	ASSERT_EQ(4u, f.socket->events.size());
	EXPECT_TRUE("complete " + body == f.socket->events[3]);
}

TEST(HttpRequest, ChunkedBodyOutsideTheLimitCloses)
{
	struct Case
	{
		std::string chunks;
		const char* log;
	};
	const std::string mib = "100000";
	const Case cases[] = {
		{"zz\r\n", "http chunk size is not hexadecimal"},
		{"\r\n", "http chunk size is not hexadecimal"},
		{"-5\r\n", "http chunk size is not hexadecimal"},
		{"100001\r\n", "http chunked body exceeds builtin limit of (1048576)"},
		{"ffffffffffffffffffff1\r\n", "http chunked body exceeds builtin limit of (1048576)"},
		{"80000\r\n" + std::string(0x80000, 'x') + "\r\n80001\r\n", "http chunked body exceeds builtin limit of (1048576)"},
		{std::string(9000, '1'), "http chunk line too long"},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(c.log);
		WebSocketFixture f;
		f.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
		for (std::size_t sent = 0; sent < c.chunks.size(); sent += 16384)
			f.Feed(c.chunks.substr(sent, 16384));
		EXPECT_TRUE(f.Closed());
		EXPECT_NE(nullptr, f.log.Find(c.log));
		EXPECT_NE("complete", f.socket->events.back().substr(0, 8));
	}

	// Exactly 1 MiB in two chunks passes.
	WebSocketFixture f;
	const std::string half(0x80000, 'y');
	f.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n80000\r\n");
	for (int i = 0; i < 2; ++i)
	{
		for (std::size_t sent = 0; sent < half.size(); sent += 16384)
			f.Feed(half.substr(sent, 16384));
		f.Feed(i == 0 ? "\r\n80000\r\n" : "\r\n0\r\n\r\n");
	}
	EXPECT_TRUE("complete " + half + half == f.socket->events.back());
	EXPECT_FALSE(f.Closed());
}
