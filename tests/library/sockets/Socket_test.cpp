#include "SocketTestSupport.h"

#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <ctime>

namespace
{

// Sees the descriptor while CreateSocket is setting it up.
class ProbeSocket : public Socket
{
public:
	using Socket::Socket;
	void OnSocketCreated(int, int, int protocol, SOCKET s) override
	{
		seenProtocol = protocol;
		attachedDuringSetUp = GetSocket() == s;
	}
	int seenProtocol = -1;
	bool attachedDuringSetUp = false;
};

} // namespace

TEST(Socket, DescriptorSetUpCloseAndRequests)
{
	RecordingLog log;
	SocketHandler handler(&log);
	ProbeSocket s(handler);
	EXPECT_EQ(0, s.Close());
	ASSERT_EQ(1u, log.entries.size());
	EXPECT_EQ("file descriptor invalid", log.entries[0].text);
	EXPECT_EQ(0, s.GetSockPort());

	const SOCKET fd = s.CreateSocket(AF_INET, SOCK_STREAM, "tcp");
	EXPECT_EQ(IPPROTO_TCP, s.seenProtocol);
	EXPECT_TRUE(s.attachedDuringSetUp);
	EXPECT_EQ(INVALID_SOCKET, s.GetSocket());
	s.Attach(fd);
	EXPECT_TRUE(s.SetReuseAddress(true));
	EXPECT_TRUE(s.SetNonblocking(true));
	// The descriptor is forgotten even when closing it fails.
	::close(fd);
	EXPECT_EQ(SOCKET_ERROR, s.Close());
	EXPECT_EQ(INVALID_SOCKET, s.GetSocket());
	EXPECT_EQ(WSAENOTSOCK, log.entries.back().code);
	EXPECT_EQ("close", log.entries.back().call);

	// The destructor closes a descriptor it still holds.
	SocketPair pair;
	{
		ProbeSocket holder(handler);
		holder.Attach(pair.fd[0]);
	}
	char x;
	EXPECT_EQ(0, ::recv(pair.fd[1], &x, 1, 0));

	// A second close request keeps the time of the first; only TCP sockets
	// are kept for the pool.
	s.SetCloseAndDelete(true);
	const std::int64_t since = s.TimeSinceClose();
	s.SetCloseAndDelete(true);
	EXPECT_EQ(since, s.TimeSinceClose());
	s.SetRetainForPool();
	EXPECT_FALSE(s.RetainForPool());

	// Armed between before and after: 5 seconds are not yet expired, 6 are.
	const std::int64_t before = std::time(nullptr);
	s.SetTimeout(5);
	const std::int64_t after = std::time(nullptr);
	EXPECT_TRUE(s.HasTimeout());
	EXPECT_FALSE(s.TimeoutExpired(before + 5));
	EXPECT_TRUE(s.TimeoutExpired(after + 6));
	s.SetTimeout(0);
	EXPECT_FALSE(s.HasTimeout());
	EXPECT_FALSE(s.TimeoutExpired(after + 100));
}
