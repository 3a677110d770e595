#include "AgentTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

using Messages = std::vector<std::string>;

namespace
{

const std::string kHello = Frame(0x81, "Hello");

} // namespace

TEST(WebSocketUpgrade, AnswersTheHandshakeAndRefusesASecondPage)
{
	{
		WebSocketFixture f;
		// A frame may follow the handshake in the same read.
		f.Feed(kUpgrade + kHello);
		EXPECT_EQ("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n"
				  "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nSec-WebSocket-Version: 13\r\n"
				  "Upgrade: websocket\r\n\r\n",
			f.Received());
		EXPECT_EQ(Messages{"Hello"}, f.socket->messages);
		EXPECT_EQ(TransportWebSocket, f.socket->GetTransport());
		EXPECT_EQ(1, g_sessionActive);

		WebSocketFixture second;
		second.Feed(kUpgrade);
		EXPECT_EQ("HTTP/1.1 403 Forbidden\r\nConnection: close\r\n\r\n", second.Received());
		EXPECT_TRUE(second.Closed());
		for (const std::string& event : second.socket->events)
			EXPECT_TRUE(event != "connected" && event.rfind("complete", 0) != 0) << event;
		EXPECT_EQ(1, g_sessionActive);
	}
	// The upgraded connection's end lets the next page in.
	EXPECT_EQ(0, g_sessionActive);
}

TEST(WebSocketFrames, RfcExamplesSplitAndJoinedReads)
{
	WebSocketFixture f;
	// The handshake's last line end split over two reads: the LF is not
	// taken for the first frame byte.
	f.Feed("GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r");
	f.Feed("\n" + kHello);
	EXPECT_EQ((std::vector<std::string>{"first GET|/|", "header Sec-WebSocket-Key=dGhlIHNhbXBsZSBub25jZQ==", "end",
				  "connected", "complete "}),
		f.socket->events);
	f.Received();
	EXPECT_EQ("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", kHello);
	f.Feed(kHello.substr(0, 3));
	EXPECT_EQ(Messages{"Hello"}, f.socket->messages);
	f.Feed(kHello.substr(3));
	f.Feed(Frame(0x81, "Hello", ""));
	// Two frames and the first half of a third in one read; zero bytes kept.
	const std::string third = Frame(0x82, std::string("a\0b", 3));
	f.Feed(Frame(0x81, "one") + Frame(0x82, "two") + third.substr(0, 4));
	EXPECT_EQ((Messages{"Hello", "Hello", "Hello", "one", "two"}), f.socket->messages);
	f.Feed(third.substr(4));
	EXPECT_EQ(std::string("a\0b", 3), f.socket->messages.back());

	// Fragments join into one message; a ping between them is answered.
	f.socket->messages.clear();
	f.Feed(Frame(0x01, "Hel") + Frame(0x89, "abc"));
	EXPECT_EQ(std::string("\x8a\x03", 2) + "abc", f.Received());
	f.Feed(Frame(0x00, "l", ""));
	f.Feed(Frame(0x80, "o") + Frame(0x89, "") + Frame(0x8a, "unasked"));
	EXPECT_EQ(Messages{"Hello"}, f.socket->messages);
	EXPECT_EQ(std::string("\x8a\x00", 2), f.Received());
	EXPECT_FALSE(f.Closed());
}

TEST(WebSocketFrames, WriterUsesTheShortestLengthForm)
{
	WebSocketFixture f;
	f.Upgrade();
	const std::pair<std::size_t, std::string> cases[] = {{1, std::string("\x81\x01", 2)},
		{125, std::string("\x81\x7d", 2)}, {126, std::string("\x81\x7e\x00\x7e", 4)},
		{65535, std::string("\x81\x7e\xff\xff", 4)}, {65536, std::string("\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10)}};
	for (const auto& [size, head] : cases)
	{
		const std::string text(size, 't');
		f.socket->SendTextFrame(text);
		EXPECT_EQ(head + text, f.Received(head.size() + size)) << size;
	}
	f.socket->SendTextFrame("");
	f.socket->SendPongFrame("");
	EXPECT_EQ(std::string("\x8a\x00", 2), f.Received());
}

TEST(WebSocketFrames, UnsupportedOpcodeDropsWhatWasBuffered)
{
	WebSocketFixture f;
	f.Upgrade();
	testing::internal::CaptureStderr();
	f.Feed(Frame(0x83, "x") + kHello);
	EXPECT_EQ("not support wesocket opcode [03]\n", testing::internal::GetCapturedStderr());
	f.Feed(kHello);
	EXPECT_EQ(Messages{"Hello"}, f.socket->messages);
}

TEST(WebSocketFrames, CloseFrameIsAnsweredWithItsStatus)
{
	const std::pair<std::string, std::string> cases[] = {{"\x0f\xa1" "bye", CloseFrame(4001)},
		{"", std::string("\x88\x00", 2)}, {"\x0f\xa1" + std::string(123, 'r'), CloseFrame(4001)}};
	for (const auto& [payload, answer] : cases)
	{
		WebSocketFixture f;
		f.Upgrade();
		f.Feed(Frame(0x88, payload) + kHello);
		EXPECT_EQ(answer, f.Received());
		EXPECT_TRUE(f.Closed());
		EXPECT_EQ(std::vector<std::string>{"close frame"}, f.socket->events);
		EXPECT_TRUE(f.socket->messages.empty());
	}
}

// The largest control payload allowed, 125 bytes, is served; 126 is a fault
// (below).
TEST(WebSocketFrames, PingOfTheLargestPayloadIsAnsweredWithAPong)
{
	WebSocketFixture f;
	f.Upgrade();
	const std::string payload(125, 'p');
	f.Feed(Frame(0x89, payload));
	EXPECT_EQ(std::string("\x8a\x7d", 2) + payload, f.Received(127));
	f.Feed(kHello);
	EXPECT_EQ(Messages{"Hello"}, f.socket->messages);
	EXPECT_FALSE(f.Closed(5));
}

// Each protocol fault closes with its status and delivers nothing after it.
// The connection then reads on and drops what comes until the peer ends its
// side: closing with unread bytes would reset the stream and could destroy
// the close frame on its way.
TEST(WebSocketFrames, ProtocolFaultsCloseWithTheirStatusAndABoundedLinger)
{
	const std::string mib(WebSocket::kMaxMessageSize, 'm');
	const struct
	{
		const char* name;
		std::string frames;
		unsigned status;
	} cases[] = {
		{"2^63 bytes announced", std::string("\x82\xff\x80\x00\x00\x00\x00\x00\x00\x00", 10) + "maskpayload", 1009},
		{"one frame of 1 MiB + 1", Frame(0x81, mib + "x").substr(0, 16000), 1009},
		{"fragments above 1 MiB", Frame(0x01, mib.substr(0, 1000)) + Frame(0x80, mib).substr(0, 100), 1009},
		{"ping of 126 bytes", Frame(0x89, std::string(126, 'p')), 1002},
		{"fragmented ping", Frame(0x09, "p"), 1002},
		{"close with a one-byte status", Frame(0x88, "x"), 1002},
		{"continuation without a start", Frame(0x80, "x"), 1002},
		{"new message inside a fragmented one", Frame(0x01, "a") + Frame(0x81, "b"), 1002},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.name);
		WebSocketFixture f;
		f.Upgrade();
		f.Feed(c.frames + kHello);
		EXPECT_EQ(CloseFrame(c.status), f.Received());
		// Nothing follows the close frame, not even a late reply.
		f.socket->SendTextFrame("late");
		EXPECT_TRUE(f.PeerSeesEnd());
		f.Feed(std::string(300000, 'x') + kHello);
		EXPECT_FALSE(f.Closed(5));
		f.EndPeer();
		EXPECT_TRUE(f.Closed());
		EXPECT_TRUE(f.socket->messages.empty());
	}

	// A peer that never ends its side is not waited for beyond the linger time.
	{
		WebSocketFixture f;
		f.Upgrade();
		f.Feed(Frame(0x89, std::string(126, 'p')));
		EXPECT_EQ(CloseFrame(1002), f.Received());
		// The page's place is free at once, not after the linger.
		EXPECT_EQ(0, g_sessionActive);
		const auto start = std::chrono::steady_clock::now();
		EXPECT_TRUE(f.Closed(100 * (WebSocket::kLingerSeconds + 10)));
		EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(WebSocket::kLingerSeconds + 10));
	}

	// 1 MiB exactly, in one frame or in fragments, is delivered whole, and
	// raw input is never copied into the socket's unread input buffer.
	WebSocketFixture f;
	f.Upgrade();
	const std::string frames = Frame(0x82, mib) + Frame(0x01, mib.substr(0, 1000)) + Frame(0x80, mib.substr(1000));
	for (std::size_t sent = 0; sent < frames.size(); sent += 65536)
		f.Feed(frames.substr(sent, 65536));
	EXPECT_TRUE((Messages{mib, mib}) == f.socket->messages);
	EXPECT_FALSE(f.Closed());
	EXPECT_TRUE(f.log.entries.empty());

}

// Random bytes after the upgrade never crash the reader or grow it beyond a
// message; another connection of the same handler is not disturbed.
TEST(WebSocketFrames, GarbageAfterTheUpgrade)
{
	std::mt19937 random(20261206);
	testing::internal::CaptureStderr();
	for (int round = 0; round < 200; ++round)
	{
		WebSocketFixture f;
		f.Upgrade();
		RecordingWebSocket* neighbour = new RecordingWebSocket(f.handler);
		SocketPair pair;
		neighbour->Attach(pair.fd[0]);
		neighbour->SetConnected(true);
		neighbour->SetNonblocking(true);
		neighbour->SetOwnedByHandler(true);
		f.handler.Add(neighbour);
		for (int chunk = 0; chunk < 4 && !f.socket->CloseAndDelete(); ++chunk)
		{
			std::string garbage(1 + random() % 3000, '\0');
			for (char& c : garbage)
				c = static_cast<char>(random());
			f.Feed(garbage);
		}
		pair.Send("GET / HTTP/1.1\r\n\r\n");
		f.handler.Select(1, 0);
		ASSERT_EQ("complete ", neighbour->events.back());
	}
	testing::internal::GetCapturedStderr();
}
