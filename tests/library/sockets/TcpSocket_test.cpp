#include "SocketTestSupport.h"

#include "base/StdoutLog.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <utility>

namespace
{

// A socket attached to one end of a socketpair, admitted to the handler,
// with a small send buffer: a peer that reads slowly soon stops taking bytes.
struct Fixture
{
	explicit Fixture(bool lineMode = true)
		: socket(Attached(handler, pair.fd[0], &deleted, true, &destroyed))
	{
		const int small = 4096;
		::setsockopt(pair.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
		socket->SetLineMode(lineMode);
		socket->SetNonblocking(true);
		handler.Add(socket);
		handler.Select(0, 0);
	}

	// One chunk, one turn: the socket reads exactly that chunk.
	std::size_t Feed(const std::string& chunk)
	{
		pair.Send(chunk);
		handler.Select(1, 0);
		return chunk.size();
	}

	// Like an HTTP reader: lines up to the empty one that ends the head,
	// raw bytes after it.
	void RawAfterHead()
	{
		socket->onLine = [](RecordingSocket& s, const std::string& line) { s.SetLineMode(!line.empty()); };
	}

	void TurnUntilDeleted() { TurnUntil(handler, [this] { return deleted != 0; }, 2); }
	// The lines delivered since the last call.
	std::vector<std::string> Take() { return std::exchange(socket->lines, {}); }

	// What the peer receives, turning the loop between reads, until it has
	// `want` bytes or sees the end of the stream.
	std::string Drain(std::size_t want = std::string::npos)
	{
		std::string received;
		char buf[65536];
		for (int turns = 0; received.size() < want && turns < 20000; ++turns)
		{
			const ssize_t n = ::recv(pair.fd[1], buf, sizeof(buf), MSG_DONTWAIT);
			if (n == 0)
				break;
			if (n > 0)
				received.append(buf, static_cast<std::size_t>(n));
			handler.Select(0, 10000);
		}
		return received;
	}

	// Declared before the handler, which may still count into them.
	int deleted = 0, destroyed = 0;
	RecordingLog log;
	SocketHandler handler{&log};
	SocketPair pair;
	RecordingSocket* socket;
};

using Lines = std::vector<std::string>;
const auto npos = std::string::npos;

} // namespace

TEST(TcpSocketInput, LinesAndLineEndPairsAcrossReadsAndReadinessWithNothingToRead)
{
	const struct
	{
		std::vector<std::string> chunks;
		Lines lines;
	} cases[] = {
		{{"abc\r\ndef\n"}, {"abc", "def"}},
		{{"abc\r", "\ndef\n"}, {"abc", "def"}},
		// LF CR is a pair too; a second CR ends an empty line.
		{{"ghi\n", "\r", "\rxyz", "\n"}, {"ghi", "", "xyz"}},
		{{"abc\n\n\r\n\r\n"}, {"abc", "", "", ""}},
		{{std::string("ab\0cd\n", 6)}, {"ab"}},
		// An empty line in a read of its own is a line: it ends a request head.
		{{"abc\n", "\n", "abc\r\n", "\r\n", "abc\r", "\r"}, {"abc", "", "abc", "", "abc", ""}},
	};
	Fixture f;
	// select() may call a descriptor readable that has nothing to read.
	f.socket->OnRead();
	EXPECT_FALSE(f.socket->CloseAndDelete());
	EXPECT_TRUE(f.socket->disconnects.empty());
	std::size_t bytes = 0;
	for (const auto& c : cases)
	{
		for (const std::string& chunk : c.chunks)
			bytes += f.Feed(chunk);
		EXPECT_EQ(c.lines, f.Take()) << c.chunks[0];
	}
	EXPECT_EQ(bytes, f.socket->GetBytesReceived());
	EXPECT_TRUE(f.socket->raw.empty());

	// The unfinished line of a peer that closes is never delivered.
	f.socket->SetOwnedByHandler(false);
	f.Feed("tail");
	f.pair.ClosePeer();
	f.TurnUntilDeleted();
	EXPECT_TRUE(f.socket->lines.empty());
	EXPECT_EQ((std::vector<int>{-1, 0}), f.socket->disconnects);
	EXPECT_EQ(1, f.deleted);
	EXPECT_EQ(0u, f.handler.GetSocketCount());
	EXPECT_TRUE(f.log.entries.empty());
	EXPECT_EQ(0, f.destroyed);
	delete f.socket;
	EXPECT_EQ(1, f.destroyed);
}

TEST(TcpSocketInput, PeerThatHalfClosesStillGetsTheWholeReply)
{
	Fixture f;
	std::string reply(1000000, '\0');
	for (std::size_t i = 0; i < reply.size(); ++i)
		reply[i] = static_cast<char>(i * 13 + i / 997);
	f.socket->onLine = [&](RecordingSocket& s, const std::string& line) {
		if (line == "GET")
			s.Send(reply);
	};
	// The request and then the end of the peer's sending side, as
	// HTTP/1.0 tools and "nc -N" do.
	f.pair.Send("GET\n");
	::shutdown(f.pair.fd[1], SHUT_WR);
	f.handler.Select(1, 0);
	f.handler.Select(1, 0);
	EXPECT_EQ((std::vector<int>{-1, 0}), f.socket->disconnects);
	ASSERT_EQ(0, f.deleted);

	// The descriptor at end of file is not watched for reading any more:
	// with the reply stuck, a turn waits out its time-out.
	const auto start = std::chrono::steady_clock::now();
	f.handler.Select(0, 200000);
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

	// The whole reply, then the end of the stream.
	EXPECT_TRUE(f.Drain() == reply);
	EXPECT_EQ(1, f.deleted);
	EXPECT_EQ(1, f.destroyed);
	EXPECT_EQ(0, f.log.Count("Closing socket while data still left to send"));
}

// While paused, what the peer sends waits in the system's buffers: nothing
// is read, and the loop does not spin on the readable descriptor.
TEST(TcpSocketInput, PausedInputWaitsUnreadUntilResumed)
{
	Fixture f;
	f.socket->SetInputPaused(true);
	f.Feed("one\n");
	const auto start = std::chrono::steady_clock::now();
	f.handler.Select(0, 200000);
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
	EXPECT_EQ(Lines{}, f.Take());
	f.socket->SetInputPaused(false);
	f.Feed("two\n");
	EXPECT_EQ((Lines{ "one", "two" }), f.Take());
}

TEST(TcpSocketInput, LineLimitClosesAndDeliversNothingMore)
{
	Fixture f;
	f.socket->SetOwnedByHandler(false);
	const std::string longest(8191, 'a');
	f.Feed(longest.substr(0, 5000));
	f.Feed(longest.substr(5000) + "\r\n");
	ASSERT_EQ(1u, f.socket->lines.size());
	EXPECT_EQ(longest, f.socket->lines[0]);

	// One byte more: the close is requested and neither the rest of the line
	// nor any later line or raw byte reaches the owner, not even as an empty
	// line that a reader could take for the end of a request head.
	f.Feed(std::string(4000, 'b'));
	f.Feed(std::string(4192, 'b') + "\r\nGET / HTTP/1.1\r\n");
	f.handler.Select(0, 0);
	EXPECT_EQ(1u, f.socket->lines.size());
	EXPECT_EQ("TcpSocket::OnRead 8192 FATAL", f.log.Line("maximum tcp_line_size exceeded, connection closed"));
	EXPECT_EQ(1, f.deleted);
	EXPECT_FALSE(f.handler.HasSocket(f.socket));
	delete f.socket;
}

TEST(TcpSocketInput, OnLineSwitchesToRawDataMidRead)
{
	Fixture f;
	f.RawAfterHead();
	f.Feed("POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
	EXPECT_EQ((Lines{"POST / HTTP/1.1", "Content-Length: 4", ""}), f.Take());
	EXPECT_EQ("body", f.socket->raw);
	f.Feed(std::string("m\0re\r\n", 6));
	EXPECT_EQ(std::string("bodym\0re\r\n", 10), f.socket->raw);
	// Raw data needs no input buffer.
	for (int i = 0; i < 4; ++i)
		f.Feed(std::string(10000, 'r'));
	EXPECT_EQ(40010u, f.socket->raw.size());
	EXPECT_EQ(0, f.log.Count("ibuf overflow"));

	// A head whose last LF starts the next read: that LF ends the head and
	// is no body byte, also when it arrives alone. A line end of the same
	// kind is no pair: it is data.
	const struct
	{
		std::vector<std::string> chunks;
		std::string raw;
	} splits[] = {{{"X\r\n\r", "\nrest"}, "rest"}, {{"Y\r\n\r", "\n", "body"}, "body"}, {{"Z\n\n", "\nbody"}, "\nbody"}};
	for (const auto& c : splits)
	{
		f.socket->SetLineMode(true);
		f.socket->raw.clear();
		for (const std::string& chunk : c.chunks)
			f.Feed(chunk);
		EXPECT_EQ(c.raw, f.socket->raw) << c.chunks[0];
		EXPECT_EQ((Lines{c.chunks[0].substr(0, 1), ""}), f.Take());
	}

	// A close requested from OnLine ends delivery for the rest of the read.
	f.socket->SetLineMode(true);
	f.socket->onLine = [](RecordingSocket& s, const std::string&) { s.SetCloseAndDelete(true); };
	f.Feed("one\r\ntwo\r\n");
	EXPECT_EQ((Lines{"one"}), f.Take());
}

TEST(TcpSocketOutput, QueuedOutputKeepsTheOrderOfTheCalls)
{
	Fixture f(false);
	std::string data(3000000, '\0');
	for (std::size_t i = 0; i < data.size(); ++i)
		data[i] = static_cast<char>(i * 7 + i / 251);
	f.socket->SendBuf(data.data(), 2000000);
	f.socket->Send(data.substr(2000000, 998976));
	EXPECT_GT(f.socket->GetOutputLength(), 2000000u);
	f.socket->SendBuf("", 0);

	// The peer reads while the handler does not run, so the descriptor could
	// take bytes again; what is sent now still goes behind the queue.
	std::string received;
	for (std::string more; !(more = ReadAvailable(f.pair.fd[1])).empty();)
		received += more;
	ASSERT_FALSE(received.empty());
	f.socket->Send(data.substr(2998976)); // 1 KiB
	// The peer reads slowly; each writable event sends what fits.
	received += f.Drain(data.size() - received.size());
	EXPECT_TRUE(received == data);
	EXPECT_EQ(0u, f.socket->GetOutputLength());
	EXPECT_EQ(1, f.socket->writeCompletes);
	EXPECT_EQ(3000000u, f.socket->GetBytesSent(true));
	EXPECT_EQ(0u, f.socket->GetBytesSent());
}

// A close asked for with output queued: a peer that reads gets all of it and
// then the end of the stream; one that never reads is given up on after five
// whole seconds of the clock (more than four, not much more than five).
TEST(TcpSocketOutput, GracefulCloseSendsEverythingOrGivesUpOnAPeerThatNeverReads)
{
	for (const bool peerReads : {true, false})
	{
		SCOPED_TRACE(peerReads);
		Fixture f(false);
		const std::string data(400000, 'z');
		f.socket->Send(data);
		ASSERT_GT(f.socket->GetOutputLength(), 0u);
		const auto requested = std::chrono::steady_clock::now();
		f.socket->SetCloseAndDelete(true);
		if (peerReads)
		{
			StdoutLog console(0);
			f.handler.SetLog(&console);
			testing::internal::CaptureStdout();
			f.handler.Select(0, 0);
			const std::string out = testing::internal::GetCapturedStdout();
			f.handler.SetLog(&f.log);
			const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d :: fd " +
				std::to_string(f.pair.fd[0]) + " :: Closing: \\d+ Sending all data before closing \\(Info\\)\n");
			EXPECT_TRUE(std::regex_match(out, line)) << out;
			EXPECT_TRUE(f.Drain() == data);
			char x;
			EXPECT_EQ(0, ::recv(f.pair.fd[1], &x, 1, MSG_DONTWAIT));
			EXPECT_EQ(0, f.log.Count("Closing socket while data still left to send"));
		}
		else
		{
			for (int turns = 0; turns < 100 && f.deleted == 0; ++turns)
				f.handler.Select();
			const auto waited = std::chrono::steady_clock::now() - requested;
			EXPECT_GE(waited, std::chrono::milliseconds(4000));
			EXPECT_LE(waited, std::chrono::milliseconds(7000));
			EXPECT_NE(npos, f.log.Line("Closing socket while data still left to send").find(" WARNING"));
			EXPECT_GT(f.log.Find("Closing socket while data still left to send")->code, 0);
			EXPECT_GE(f.log.Count("Sending all data before closing"), 5);
		}
		EXPECT_EQ(1, f.deleted);
		EXPECT_EQ(1, f.destroyed);
	}
}

TEST(TcpSocketOutput, SendOnSocketThatIsNotReadyIsDroppedWithReasons)
{
	RecordingLog log;
	SocketHandler handler(&log);
	RecordingSocket s(handler);
	s.SetCloseAndDelete(true);
	s.Send("lost");
	ASSERT_EQ(3u, log.entries.size());
	EXPECT_EQ("Attempt to write to a non-ready socket", log.entries[0].text);
	EXPECT_EQ(" * GetSocket() == INVALID_SOCKET", log.entries[1].text);
	EXPECT_EQ(" * CloseAndDelete()", log.entries[2].text);
	EXPECT_EQ(0u, s.GetOutputLength());
}

TEST(TcpSocketOutput, PeerThatNeverReadsCannotGrowTheQueueWithoutBound)
{
	Fixture f(false);
	ASSERT_EQ(16u * 1024 * 1024, f.socket->GetOutputLimit());
	const std::string chunk(1 << 20, 'm');
	while (f.socket->GetOutputLength() + chunk.size() <= f.socket->GetOutputLimit())
		f.socket->Send(chunk);
	// Up to the limit exactly, everything is kept.
	f.socket->Send(std::string(f.socket->GetOutputLimit() - f.socket->GetOutputLength(), 'm'));
	EXPECT_EQ(f.socket->GetOutputLimit(), f.socket->GetOutputLength());
	EXPECT_FALSE(f.socket->CloseAndDelete());
	EXPECT_TRUE(f.log.entries.empty());

	// One byte more gives the connection up, without queueing that byte.
	f.socket->Send("m");
	EXPECT_EQ(f.socket->GetOutputLimit(), f.socket->GetOutputLength());
	EXPECT_TRUE(f.socket->CloseAndDelete());
	EXPECT_EQ(1, f.log.Count("output limit exceeded, connection closed"));
	EXPECT_EQ("SendBuf 16777217 ERROR", f.log.Line("output limit exceeded, connection closed"));
	f.handler.Select(0, 0);
	EXPECT_EQ(1, f.deleted);
	EXPECT_EQ(1, f.destroyed);
	EXPECT_EQ(1, f.log.Count("Closing socket while data still left to send"));

	// The limit is the owner's to set; 0 lifts it.
	for (const std::size_t limit : {100000, 0})
	{
		Fixture g(false);
		g.socket->SetOutputLimit(limit);
		g.socket->Send(std::string(limit > 0 ? 150000 : 20 << 20, 'l'));
		EXPECT_EQ(limit > 0, g.socket->CloseAndDelete());
		EXPECT_GE(g.socket->GetOutputLength(), limit > 0 ? 0u : 16u << 20);
	}
}

// TLS switched on without a server set-up of its own, or without an SSL
// object at all: logged and closed, never a crash, nothing in the clear.
TEST(TcpSocketTls, TlsWithoutSetUpOrConnectionClosesCleanly)
{
	const std::string noSsl = "SSL is NULL; check InitSSLServer/InitSSLClient";
	Fixture misuse;
	misuse.socket->EnableSSL(true);
	misuse.socket->OnSSLAccept();
	EXPECT_TRUE(misuse.socket->CloseAndDelete());
	EXPECT_EQ("InitSSLServer 0 FATAL", misuse.log.Line("You MUST implement your own InitSSLServer method"));
	EXPECT_EQ(nullptr, misuse.socket->GetSslContext());
	EXPECT_EQ(nullptr, misuse.socket->GetSsl());
	EXPECT_EQ(1, misuse.log.Count("SSL Context is NULL; check InitSSLServer/InitSSLClient"));
	EXPECT_EQ(1, misuse.log.Count(noSsl));
	misuse.TurnUntilDeleted();
	EXPECT_EQ(0u, misuse.handler.GetSocketCount());

	Fixture reader;
	reader.socket->EnableSSL();
	reader.Feed("hello\n");
	reader.TurnUntilDeleted();
	EXPECT_EQ(1, reader.destroyed);
	EXPECT_EQ(1, reader.log.Count(noSsl));

	Fixture writer(false);
	writer.socket->EnableSSL();
	writer.socket->Send("secret");
	writer.TurnUntilDeleted();
	EXPECT_EQ(1, writer.destroyed);
	EXPECT_EQ(1, writer.log.Count(noSsl));
	char buf[16];
	EXPECT_EQ(0, ::recv(writer.pair.fd[1], buf, sizeof(buf), 0));
}
