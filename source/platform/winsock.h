#pragma once

// Winsock 1.1 as the socket framework uses it, on top of the Linux socket
// calls.
//
// The Winsock-only names (SOCKET, WSAStartup, WSAGetLastError, closesocket,
// ioctlsocket, the WSAE* codes) live in the global namespace, as on Windows.
// The calls whose names the C library already declares with other meanings
// (socket, bind, select, send, recv, fd_set, ...) live in namespace winsock,
// so that a call site says which of the two it means: winsock::recv reports
// its failure through WSAGetLastError, ::recv through errno.
//
// Every wrapper sets the calling thread's Winsock error only when it fails,
// and maps errno at once, before any other library call can change it.
//
// Where Linux differs from Windows, and this layer does not hide it:
// - A refused non-blocking connect shows up as writable, with the error in
//   SO_ERROR (winsock::getsockopt maps it to a Winsock code); Windows puts it
//   in the exception set.
// - SO_REUSEADDR does not let a second socket bind a port another socket
//   listens on; Windows allows it. The Linux behaviour is the safer one.
// - Accepted sockets do not inherit non-blocking mode: set it explicitly.
// - closesocket frees the descriptor number at once, also when it fails,
//   and Linux hands the number out again to the next socket.

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>

using SOCKET = int;
using u_long = unsigned long;
using u_short = unsigned short;
using WORD = std::uint16_t;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int SD_RECEIVE = SHUT_RD;
constexpr int SD_SEND = SHUT_WR;
constexpr int SD_BOTH = SHUT_RDWR;

// The C library's fd_set is a bitmap of 1024 descriptors; Winsock's is a
// count and a list of at most 64 sockets. Only the latter exists here.
#undef FD_SETSIZE
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
#define FD_SETSIZE 64

constexpr WORD MAKEWORD(unsigned low, unsigned high)
{
	return static_cast<WORD>((low & 0xFF) | ((high & 0xFF) << 8));
}

struct WSADATA
{
	WORD wVersion;
	WORD wHighVersion;
	char szDescription[257];
	char szSystemStatus[129];
	unsigned short iMaxSockets;
	unsigned short iMaxUdpDg;
	char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

// Winsock error codes.
enum
{
	WSAEINTR = 10004,
	WSAEBADF = 10009,
	WSAEACCES = 10013,
	WSAEFAULT = 10014,
	WSAEINVAL = 10022,
	WSAEMFILE = 10024,
	WSAEWOULDBLOCK = 10035,
	WSAEINPROGRESS = 10036,
	WSAEALREADY = 10037,
	WSAENOTSOCK = 10038,
	WSAEDESTADDRREQ = 10039,
	WSAEMSGSIZE = 10040,
	WSAEPROTOTYPE = 10041,
	WSAENOPROTOOPT = 10042,
	WSAEPROTONOSUPPORT = 10043,
	WSAESOCKTNOSUPPORT = 10044,
	WSAEOPNOTSUPP = 10045,
	WSAEPFNOSUPPORT = 10046,
	WSAEAFNOSUPPORT = 10047,
	WSAEADDRINUSE = 10048,
	WSAEADDRNOTAVAIL = 10049,
	WSAENETDOWN = 10050,
	WSAENETUNREACH = 10051,
	WSAENETRESET = 10052,
	WSAECONNABORTED = 10053,
	WSAECONNRESET = 10054,
	WSAENOBUFS = 10055,
	WSAEISCONN = 10056,
	WSAENOTCONN = 10057,
	WSAESHUTDOWN = 10058,
	WSAETIMEDOUT = 10060,
	WSAECONNREFUSED = 10061,
	WSAEHOSTDOWN = 10064,
	WSAEHOSTUNREACH = 10065,
	WSAEPROCLIM = 10067,
	WSASYSNOTREADY = 10091,
	WSAVERNOTSUPPORTED = 10092,
	WSANOTINITIALISED = 10093,
	WSAEDISCON = 10101,
	WSATYPE_NOT_FOUND = 10109,
	WSAHOST_NOT_FOUND = 11001,
	WSATRY_AGAIN = 11002,
	WSANO_RECOVERY = 11003,
	WSANO_DATA = 11004,
};

int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();

// The calling thread's last Winsock error. Set only by a failing call.
int WSAGetLastError();
void WSASetLastError(int code);

// The Winsock code for an errno value. connect reports a connection still
// being made as WSAEWOULDBLOCK; everywhere else EINPROGRESS is
// WSAEINPROGRESS. Values without a Winsock counterpart pass through.
int WSAErrorFromErrno(int err, bool fromConnect = false);

// Closes the descriptor once; never retried, since Linux frees the number
// even when close fails.
int closesocket(SOCKET s);

// FIONBIO is the one command: a non-zero *argp turns non-blocking mode on.
int ioctlsocket(SOCKET s, long cmd, u_long* argp);

namespace winsock
{

struct fd_set
{
	unsigned int fd_count;
	SOCKET fd_array[FD_SETSIZE];
};

SOCKET socket(int family, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
// SO_ERROR comes back as a Winsock code.
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);

// Winsock select: nfds is ignored, the time-out is not modified, each set
// keeps only its ready sockets, and the result counts them over the three
// sets. A null time-out waits without end; a negative one is WSAEINVAL.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);

// Lookups answer in storage of the calling thread, valid until its next
// lookup of the same kind. A missing /etc/protocols still knows tcp and udp.
protoent* getprotobyname(const char* name);
hostent* gethostbyname(const char* name);
hostent* gethostbyaddr(const char* addr, int len, int type);

} // namespace winsock

inline void FD_ZERO(winsock::fd_set* set)
{
	set->fd_count = 0;
}

inline int FD_ISSET(SOCKET s, const winsock::fd_set* set)
{
	for (unsigned int i = 0; i < set->fd_count; ++i)
	{
		if (set->fd_array[i] == s)
			return 1;
	}
	return 0;
}

// Appends the socket when it is missing and the set has room.
inline void FD_SET(SOCKET s, winsock::fd_set* set)
{
	if (!FD_ISSET(s, set) && set->fd_count < FD_SETSIZE)
		set->fd_array[set->fd_count++] = s;
}

// Removes the socket, moving the later entries one place forward.
inline void FD_CLR(SOCKET s, winsock::fd_set* set)
{
	for (unsigned int i = 0; i < set->fd_count; ++i)
	{
		if (set->fd_array[i] == s)
		{
			for (unsigned int j = i + 1; j < set->fd_count; ++j)
				set->fd_array[j - 1] = set->fd_array[j];
			--set->fd_count;
			return;
		}
	}
}
