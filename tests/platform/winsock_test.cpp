#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace
{

winsock::fd_set Set(std::initializer_list<SOCKET> sockets)
{
	winsock::fd_set set;
	FD_ZERO(&set);
	for (SOCKET s : sockets)
		FD_SET(s, &set);
	return set;
}

} // namespace

TEST(Winsock, FailuresMapErrnoAtOnceAndOnlyOnFailure)
{
	// Start-up asks for 1.1 and makes a vanished peer cost a failed send, never the process.
	WSADATA data;
	ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
	EXPECT_EQ(MAKEWORD(1, 1), data.wVersion);
	struct sigaction pipe = {};
	::sigaction(SIGPIPE, nullptr, &pipe);
	EXPECT_EQ(SIG_IGN, pipe.sa_handler);

	int sv[2];
	ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
	u_long on = 1;
	ASSERT_EQ(0, ioctlsocket(sv[0], FIONBIO, &on));
	EXPECT_TRUE(::fcntl(sv[0], F_GETFL) & O_NONBLOCK);
	char c;
	EXPECT_EQ(SOCKET_ERROR, winsock::recv(sv[0], &c, 1, 0));
	EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
	// A successful call leaves the code alone; another thread has its own.
	EXPECT_EQ(1, winsock::send(sv[1], "x", 1, 0));
	EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
	int other = -1;
	std::thread([&] { other = WSAGetLastError(); }).join();
	EXPECT_EQ(0, other);

	// A peer that is gone: an error code, not SIGPIPE.
	EXPECT_EQ(0, closesocket(sv[0]));
	EXPECT_EQ(SOCKET_ERROR, winsock::send(sv[1], "x", 1, 0));
	EXPECT_EQ(WSAECONNRESET, WSAGetLastError());
	EXPECT_EQ(0, closesocket(sv[1]));
	EXPECT_EQ(SOCKET_ERROR, winsock::recv(sv[1], &c, 1, 0));
	EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
	EXPECT_EQ(SOCKET_ERROR, closesocket(sv[1]));
	EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());

	EXPECT_EQ(WSAEINPROGRESS, WSAErrorFromErrno(EINPROGRESS));
	EXPECT_EQ(WSAEWOULDBLOCK, WSAErrorFromErrno(EINPROGRESS, true));
	EXPECT_EQ(EDOM, WSAErrorFromErrno(EDOM));
	EXPECT_EQ(nullptr, winsock::getprotobyname("no-such-protocol"));
	EXPECT_EQ(WSANO_DATA, WSAGetLastError());
	ASSERT_NE(nullptr, winsock::getprotobyname("udp"));
	EXPECT_EQ(IPPROTO_UDP, winsock::getprotobyname("udp")->p_proto);
}

// Nobody listens on a loopback port that was free a moment ago: refused, at
// once when blocking, and through SO_ERROR on a writable socket when not (a
// connect on its way is WSAEWOULDBLOCK, as on Windows).
TEST(Winsock, RefusedConnects)
{
	SOCKET bound = winsock::socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	auto* sa = reinterpret_cast<sockaddr*>(&a);
	int len = sizeof(a);
	ASSERT_EQ(0, winsock::bind(bound, sa, sizeof(a)));
	ASSERT_EQ(0, winsock::getsockname(bound, sa, &len));
	closesocket(bound);

	SOCKET blocking = winsock::socket(AF_INET, SOCK_STREAM, 0);
	EXPECT_EQ(SOCKET_ERROR, winsock::connect(blocking, sa, sizeof(a)));
	EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
	closesocket(blocking);

	SOCKET nb = winsock::socket(AF_INET, SOCK_STREAM, 0);
	u_long on = 1;
	ASSERT_EQ(0, ioctlsocket(nb, FIONBIO, &on));
	if (winsock::connect(nb, sa, sizeof(a)) == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
	{
		winsock::fd_set w = Set({ nb }), e = Set({ nb });
		timeval tv{2, 0};
		EXPECT_EQ(1, winsock::select(0, nullptr, &w, &e, &tv));
		EXPECT_TRUE(FD_ISSET(nb, &w));
		int err = 0;
		len = sizeof(err);
		ASSERT_EQ(0, winsock::getsockopt(nb, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len));
		EXPECT_EQ(WSAECONNREFUSED, err);
	}
	else
		EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
	closesocket(nb);
}

TEST(Winsock, SetsHoldSixtyFourSocketsAndShiftOnRemoval)
{
	winsock::fd_set set = Set({});
	for (SOCKET s = 100; s < 200; ++s)
		FD_SET(s, &set);
	FD_SET(100, &set);
	ASSERT_EQ(64u, set.fd_count);
	EXPECT_FALSE(FD_ISSET(164, &set));
	FD_CLR(101, &set);
	EXPECT_EQ(63u, set.fd_count);
	EXPECT_EQ(100, set.fd_array[0]);
	EXPECT_EQ(102, set.fd_array[1]);
	EXPECT_EQ(163, set.fd_array[62]);
}

TEST(Winsock, SelectKeepsOnlyReadySocketsAndCountsOverSets)
{
	int a[2], b[2];
	ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, a));
	ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, b));
	ASSERT_EQ(1, winsock::send(a[1], "x", 1, 0));
	winsock::fd_set r = Set({ b[0], a[0] }), w = Set({ a[0] });
	const timeval tv{5, 0};
	EXPECT_EQ(2, winsock::select(-7, &r, &w, nullptr, &tv));
	ASSERT_EQ(1u, r.fd_count);
	EXPECT_EQ(a[0], r.fd_array[0]);
	EXPECT_EQ(1u, w.fd_count);
	EXPECT_EQ(5, tv.tv_sec);

	// A peer's hang-up makes a socket readable, but a socket watched only
	// for exceptions waits out the time-out; so do empty sets.
	closesocket(b[1]);
	winsock::fd_set e = Set({ b[0] });
	const timeval shortWait{0, 80000};
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(0, winsock::select(0, nullptr, nullptr, &e, &shortWait));
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
	EXPECT_EQ(0u, e.fd_count);
	r = Set({ b[0] });
	EXPECT_EQ(1, winsock::select(0, &r, nullptr, nullptr, &shortWait));
	start = std::chrono::steady_clock::now();
	EXPECT_EQ(0, winsock::select(0, nullptr, nullptr, nullptr, &shortWait));
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));

	// Bad arguments and closed descriptors fail.
	const timeval negative{0, -1};
	EXPECT_EQ(SOCKET_ERROR, winsock::select(0, &r, nullptr, nullptr, &negative));
	EXPECT_EQ(WSAEINVAL, WSAGetLastError());
	closesocket(b[0]);
	r = Set({ a[0], b[0] });
	EXPECT_EQ(SOCKET_ERROR, winsock::select(0, &r, nullptr, nullptr, &shortWait));
	EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());

	// No bitmap: a descriptor far above 1023 is watched like any other.
	rlimit lim{};
	if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur > 3000)
	{
		ASSERT_EQ(2999, ::dup2(a[0], 2999));
		r = Set({ 2999 });
		EXPECT_EQ(1, winsock::select(0, &r, nullptr, nullptr, &tv));
		closesocket(2999);
	}
	closesocket(a[0]);
	closesocket(a[1]);
}
