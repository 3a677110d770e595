#include "SocketTestSupport.h"

#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <chrono>

TEST(SocketHandler, AdmissionRejectsReplacesAndDeletesAtTheEndOfTheTurn)
{
	RecordingLog log;
	SocketHandler handler(&log);
	SocketPair a, b, c;
	int invalidDeleted = 0, twiceDeleted = 0, closingDeleted = 0, deleted = 0, destroyed = 0;

	handler.Add(Attached(handler, INVALID_SOCKET, &invalidDeleted, true, &destroyed));
	RecordingSocket* twice = Attached(handler, a.fd[0], &twiceDeleted, true, &destroyed);
	handler.Add(twice);
	handler.Add(twice);
	RecordingSocket* closing = Attached(handler, b.fd[0], &closingDeleted, true, &destroyed);
	closing->SetCloseAndDelete(true);
	handler.Add(closing);
	EXPECT_EQ(4u, handler.GetSocketCount());
	handler.Select(0, 0);
	EXPECT_EQ(1, log.Count("Invalid socket"));
	EXPECT_EQ(1, log.Count("Attempt to add socket already in controlled queue (same uid)"));
	EXPECT_EQ(1, log.Count("Added socket with SetCloseAndDelete() true"));
	EXPECT_EQ(1, invalidDeleted);
	EXPECT_EQ(1, closingDeleted);
	// Closed at admission, and left alone by the close pass: its number
	// may belong to a new connection by then.
	EXPECT_EQ(0, log.Count("Socket operation on nonsocket."));
	EXPECT_EQ(0, twiceDeleted);
	EXPECT_EQ(2, destroyed);
	EXPECT_TRUE(handler.HasSocket(twice));
	EXPECT_EQ(1u, handler.GetSocketCount());

	// A newer socket on the same descriptor takes the entry; the older one
	// is deleted at the end of the turn, and the descriptor stays open.
	RecordingSocket* newer = Attached(handler, a.fd[0], &deleted, true, &destroyed);
	handler.Add(newer);
	a.Send("x\n");
	handler.Select(0, 0);
	EXPECT_EQ(1, log.Count("Replacing socket already in controlled queue (newer uid)"));
	EXPECT_EQ(1, twiceDeleted);
	EXPECT_EQ(3, destroyed);
	EXPECT_EQ(0, deleted);
	EXPECT_TRUE(handler.HasSocket(newer));
	handler.Select(1, 0);
	EXPECT_EQ((std::vector<std::string>{"x"}), newer->lines);

	// An older socket on a registered descriptor is refused and deleted,
	// without closing the number or taking it out of the sets.
	int olderDeleted = 0;
	RecordingSocket* older = Attached(handler, c.fd[0], &olderDeleted, true, &destroyed);
	RecordingSocket* newest = Attached(handler, c.fd[0], &deleted, true, &destroyed);
	handler.Add(newest);
	handler.Select(0, 0);
	handler.Add(older);
	handler.Select(0, 0);
	EXPECT_EQ(1, log.Count("Attempt to add socket already in controlled queue (older uid)"));
	EXPECT_EQ(1, olderDeleted);
	EXPECT_EQ(4, destroyed);
	c.Send("y\n");
	handler.Select(1, 0);
	EXPECT_EQ((std::vector<std::string>{"y"}), newest->lines);
	EXPECT_EQ(0, deleted);
}

TEST(SocketHandler, LostAndClosedDescriptorsLeaveTheSets)
{
	RecordingLog log;
	SocketHandler handler(&log);
	SocketPair a, b, c, d;
	int deleted = 0, destroyed = 0;
	RecordingSocket* closing = Attached(handler, a.fd[0], &deleted, true, &destroyed);
	RecordingSocket* foreign = Attached(handler, b.fd[0], &deleted, false, &destroyed);
	RecordingSocket* lost = Attached(handler, c.fd[0], &deleted, false, &destroyed);
	RecordingSocket* busy = Attached(handler, d.fd[0], &deleted, true, &destroyed);
	for (RecordingSocket* s : {closing, foreign, lost, busy})
		handler.Add(s);
	handler.Select(0, 0);

	// A lost socket owned elsewhere is forgotten and no longer watched: its
	// descriptor would stay readable for ever.
	c.ResetPeer();
	handler.Select(1, 0);
	EXPECT_EQ(1, deleted);
	EXPECT_EQ(1, log.Count("Connection reset by peer."));
	EXPECT_FALSE(handler.HasSocket(lost));
	const auto start = std::chrono::steady_clock::now();
	handler.Select(0, 200000);
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

	// A socket closed by the close pass leaves none of the sets: the next
	// select() works and the other sockets' events of that turn arrive.
	testing::internal::CaptureStdout();
	closing->SetCloseAndDelete(true);
	for (int turns = 0; turns < 10 && deleted < 2; ++turns)
		handler.Select(0, 10000);
	EXPECT_EQ(2, deleted);
	EXPECT_EQ(1, destroyed);
	d.Send("next\n");
	handler.Select(1, 0);
	EXPECT_EQ((std::vector<std::string>{"next"}), busy->lines);
	EXPECT_EQ("", testing::internal::GetCapturedStdout());

	// A descriptor closed behind the handler's back is purged, once.
	testing::internal::CaptureStdout();
	::close(b.fd[0]);
	handler.Select(0, 0);
	handler.Select(0, 0);
	handler.Select(0, 0);
	EXPECT_EQ("error on select(): 10038 Socket operation on nonsocket.\n", testing::internal::GetCapturedStdout());
	EXPECT_EQ(1, log.Count("Bad fd in fd_set (2)"));
	EXPECT_FALSE(handler.HasSocket(foreign));
	EXPECT_EQ(INVALID_SOCKET, foreign->GetSocket());
	delete foreign;
	delete lost;
	EXPECT_EQ(3, deleted);
	EXPECT_EQ(3, destroyed);
}

TEST(SocketHandler, RequestPasses)
{
	RecordingLog log;
	SocketHandler handler(&log);
	SocketPair a, b;
	int deleted = 0;
	RecordingSocket* one = Attached(handler, a.fd[0], &deleted);
	RecordingSocket* two = Attached(handler, b.fd[0], &deleted);
	for (RecordingSocket* s : {one, two})
	{
		s->SetConnected(false);
		s->SetCallOnConnect(true);
		handler.Add(s);
	}
	one->SetTimeout(1);
	const auto armed = std::chrono::steady_clock::now();
	handler.Select(0, 0);
	EXPECT_EQ(1, one->connects);
	EXPECT_EQ(1, two->connects);
	EXPECT_TRUE(one->IsConnected());
	handler.Select(0, 0);
	EXPECT_EQ(1, one->connects);

	// A 1-second time-out fires once, when two whole seconds of the clock
	// have passed since it was armed: never before one second.
	for (int i = 0; i < 40 && one->timeouts == 0; ++i)
		handler.Select();
	const auto fired = std::chrono::steady_clock::now() - armed;
	EXPECT_GE(fired, std::chrono::milliseconds(1000));
	EXPECT_LE(fired, std::chrono::milliseconds(5000));
	handler.Select(1, 100000);
	EXPECT_EQ(1, one->timeouts);
	EXPECT_FALSE(one->HasTimeout());
	EXPECT_EQ(0, two->timeouts);

	// A bad time-out is fatal for the loop.
	EXPECT_EQ("select(n): n is negative. Or struct timeval contains bad time values (<0).",
		ThrownMessage([&] { handler.Select(0, -1); }));
	EXPECT_EQ("SocketHandler::Select " + std::to_string(WSAEINVAL) + " FATAL", log.Line("Invalid argument."));
}

TEST(SocketHandler, DestructionClosesAllAndDeletesOnlyOwnedSockets)
{
	SocketPair a, b;
	int deleted = 0, destroyed = 0;
	auto* handler = new SocketHandler();
	handler->Add(Attached(*handler, a.fd[0], &deleted, true, &destroyed));
	RecordingSocket* foreign = Attached(*handler, b.fd[0], &deleted, false, &destroyed);
	handler->Add(foreign);
	handler->Select(0, 0);
	// Owned and still waiting for admission, even twice: deleted once, not
	// leaked. Waiting and owned elsewhere: let go; destroying it later is safe.
	SocketPair c, d;
	RecordingSocket* twice = Attached(*handler, c.fd[0], &deleted, true, &destroyed);
	handler->Add(twice);
	handler->Add(twice);
	RecordingSocket* waiting = Attached(*handler, d.fd[0], &deleted, false, &destroyed);
	handler->Add(waiting);
	delete handler;
	EXPECT_EQ(0, deleted);
	EXPECT_EQ(2, destroyed);
	EXPECT_EQ(INVALID_SOCKET, foreign->GetSocket());
	char x;
	EXPECT_EQ(0, ::recv(b.fd[1], &x, 1, 0));
	delete foreign;
	delete waiting;
	EXPECT_EQ(4, destroyed);
	EXPECT_EQ(0, ::recv(d.fd[1], &x, 1, 0));
}
