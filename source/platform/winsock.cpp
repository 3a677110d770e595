#include "platform/winsock.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

namespace
{

thread_local int t_lastError = 0;

// Records the failure of the call that just returned, from errno as it is
// now; returns the call's failure value.
int Fail(bool fromConnect = false)
{
	t_lastError = WSAErrorFromErrno(errno, fromConnect);
	return SOCKET_ERROR;
}

int FailWith(int code)
{
	t_lastError = code;
	return SOCKET_ERROR;
}

int ResolverError(int herr)
{
	switch (herr)
	{
	case HOST_NOT_FOUND: return WSAHOST_NOT_FOUND;
	case TRY_AGAIN: return WSATRY_AGAIN;
	case NO_RECOVERY: return WSANO_RECOVERY;
	case NO_DATA: return WSANO_DATA;
	default: return WSANO_RECOVERY;
	}
}

} // namespace

int WSAErrorFromErrno(int err, bool fromConnect)
{
	switch (err)
	{
	case EINTR: return WSAEINTR;
	case EACCES:
	case EPERM: return WSAEACCES;
	case EFAULT: return WSAEFAULT;
	case EINVAL: return WSAEINVAL;
	case EMFILE:
	case ENFILE: return WSAEMFILE;
	case EAGAIN: return WSAEWOULDBLOCK;
	case EINPROGRESS: return fromConnect ? WSAEWOULDBLOCK : WSAEINPROGRESS;
	case EALREADY: return WSAEALREADY;
	case EBADF:
	case ENOTSOCK: return WSAENOTSOCK;
	case EMSGSIZE: return WSAEMSGSIZE;
	case ENOPROTOOPT: return WSAENOPROTOOPT;
	case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
	case EOPNOTSUPP: return WSAEOPNOTSUPP;
	case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
	case EADDRINUSE: return WSAEADDRINUSE;
	case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
	case ENETDOWN: return WSAENETDOWN;
	case ENETUNREACH: return WSAENETUNREACH;
	case ECONNABORTED: return WSAECONNABORTED;
	case ECONNRESET:
	case EPIPE: return WSAECONNRESET;
	case ENOBUFS:
	case ENOMEM: return WSAENOBUFS;
	case EISCONN: return WSAEISCONN;
	case ENOTCONN: return WSAENOTCONN;
	case ETIMEDOUT: return WSAETIMEDOUT;
	case ECONNREFUSED: return WSAECONNREFUSED;
	case EHOSTUNREACH: return WSAEHOSTUNREACH;
	default: return err;
	}
}

int WSAStartup(WORD versionRequested, LPWSADATA data)
{
	if (data == nullptr)
		return WSAEFAULT;
	if ((versionRequested & 0xFF) < 1)
		return WSAVERNOTSUPPORTED;
	std::memset(data, 0, sizeof(*data));
	data->wVersion = versionRequested;
	data->wHighVersion = MAKEWORD(2, 2);
	std::strcpy(data->szDescription, "Winsock on Linux sockets");
	std::strcpy(data->szSystemStatus, "Running");
	data->iMaxSockets = FD_SETSIZE;
	data->iMaxUdpDg = 65467;
	// A peer that went away must cost a failed send, never the process.
	::signal(SIGPIPE, SIG_IGN);
	return 0;
}

int WSACleanup()
{
	return 0;
}

int WSAGetLastError()
{
	return t_lastError;
}

void WSASetLastError(int code)
{
	t_lastError = code;
}

int closesocket(SOCKET s)
{
	// Not retried on EINTR: the number is already free and may belong to
	// another socket by now.
	return ::close(s) == 0 ? 0 : Fail();
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp)
{
	if (cmd != static_cast<long>(FIONBIO) || argp == nullptr)
		return FailWith(WSAEINVAL);
	const int flags = ::fcntl(s, F_GETFL);
	if (flags == -1)
		return Fail();
	const int wanted = *argp != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
	if (wanted != flags && ::fcntl(s, F_SETFL, wanted) == -1)
		return Fail();
	return 0;
}

namespace winsock
{

SOCKET socket(int family, int type, int protocol)
{
	const int s = ::socket(family, type, protocol);
	return s >= 0 ? s : Fail();
}

int bind(SOCKET s, const sockaddr* name, int namelen)
{
	return ::bind(s, name, static_cast<socklen_t>(namelen)) == 0 ? 0 : Fail();
}

int listen(SOCKET s, int backlog)
{
	return ::listen(s, backlog) == 0 ? 0 : Fail();
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen)
{
	socklen_t len = addrlen != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
	const int r = ::accept(s, addr, addrlen != nullptr ? &len : nullptr);
	if (r < 0)
		return Fail();
	if (addrlen != nullptr)
		*addrlen = static_cast<int>(len);
	return r;
}

int connect(SOCKET s, const sockaddr* name, int namelen)
{
	return ::connect(s, name, static_cast<socklen_t>(namelen)) == 0 ? 0 : Fail(true);
}

int send(SOCKET s, const char* buf, int len, int flags)
{
	if (len < 0)
		return FailWith(WSAEINVAL);
	const ssize_t r = ::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
	return r >= 0 ? static_cast<int>(r) : Fail();
}

int recv(SOCKET s, char* buf, int len, int flags)
{
	if (len < 0)
		return FailWith(WSAEINVAL);
	const ssize_t r = ::recv(s, buf, static_cast<size_t>(len), flags);
	return r >= 0 ? static_cast<int>(r) : Fail();
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen)
{
	if (len < 0)
		return FailWith(WSAEINVAL);
	const ssize_t r = ::sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to, static_cast<socklen_t>(tolen));
	return r >= 0 ? static_cast<int>(r) : Fail();
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
	if (len < 0)
		return FailWith(WSAEINVAL);
	socklen_t flen = fromlen != nullptr ? static_cast<socklen_t>(*fromlen) : 0;
	const ssize_t r = ::recvfrom(s, buf, static_cast<size_t>(len), flags, from, fromlen != nullptr ? &flen : nullptr);
	if (r < 0)
		return Fail();
	if (fromlen != nullptr)
		*fromlen = static_cast<int>(flen);
	return static_cast<int>(r);
}

int shutdown(SOCKET s, int how)
{
	return ::shutdown(s, how) == 0 ? 0 : Fail();
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
	return ::setsockopt(s, level, optname, optval, static_cast<socklen_t>(optlen)) == 0 ? 0 : Fail();
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
	if (optlen == nullptr)
		return FailWith(WSAEFAULT);
	socklen_t len = static_cast<socklen_t>(*optlen);
	if (::getsockopt(s, level, optname, optval, &len) != 0)
		return Fail();
	*optlen = static_cast<int>(len);
	if (level == SOL_SOCKET && optname == SO_ERROR && len >= sizeof(int))
	{
		int err;
		std::memcpy(&err, optval, sizeof(err));
		err = WSAErrorFromErrno(err);
		std::memcpy(optval, &err, sizeof(err));
	}
	return 0;
}

namespace
{

int NameQuery(int (*query)(int, sockaddr*, socklen_t*), SOCKET s, sockaddr* name, int* namelen)
{
	if (namelen == nullptr)
		return FailWith(WSAEFAULT);
	socklen_t len = static_cast<socklen_t>(*namelen);
	if (query(s, name, &len) != 0)
		return Fail();
	*namelen = static_cast<int>(len);
	return 0;
}

} // namespace

int getsockname(SOCKET s, sockaddr* name, int* namelen)
{
	return NameQuery(::getsockname, s, name, namelen);
}

int getpeername(SOCKET s, sockaddr* name, int* namelen)
{
	return NameQuery(::getpeername, s, name, namelen);
}

namespace
{

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up, within poll's range.
int MillisecondsLeft(Clock::time_point deadline)
{
	const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
	return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

struct Watch
{
	std::vector<pollfd> fds;

	short& EventsOf(SOCKET s)
	{
		for (pollfd& p : fds)
		{
			if (p.fd == s)
				return p.events;
		}
		fds.push_back(pollfd{s, 0, 0});
		return fds.back().events;
	}

	short ReventsOf(SOCKET s) const
	{
		for (const pollfd& p : fds)
		{
			if (p.fd == s)
				return p.revents;
		}
		return 0;
	}
};

bool AddInterest(Watch& watch, const fd_set* set, short events)
{
	if (set == nullptr)
		return true;
	for (unsigned int i = 0; i < set->fd_count; ++i)
	{
		if (set->fd_array[i] < 0)
			return false;
		watch.EventsOf(set->fd_array[i]) |= events;
	}
	return true;
}

// Keeps in the set only the sockets whose poll result shows one of the
// given conditions; returns how many stay.
int KeepReady(const Watch& watch, fd_set* set, short conditions)
{
	if (set == nullptr)
		return 0;
	unsigned int kept = 0;
	for (unsigned int i = 0; i < set->fd_count; ++i)
	{
		if (watch.ReventsOf(set->fd_array[i]) & conditions)
			set->fd_array[kept++] = set->fd_array[i];
	}
	set->fd_count = kept;
	return static_cast<int>(kept);
}

int CountReady(const Watch& watch, const fd_set* set, short conditions)
{
	int n = 0;
	for (unsigned int i = 0; set != nullptr && i < set->fd_count; ++i)
	{
		if (watch.ReventsOf(set->fd_array[i]) & conditions)
			++n;
	}
	return n;
}

constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
constexpr short kWritable = POLLOUT | POLLERR;
constexpr short kException = POLLPRI;

} // namespace

int select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout)
{
	if (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_usec < 0))
		return FailWith(WSAEINVAL);
	Watch watch;
	if (!AddInterest(watch, readfds, POLLIN) || !AddInterest(watch, writefds, POLLOUT) ||
		!AddInterest(watch, exceptfds, POLLPRI))
		return FailWith(WSAENOTSOCK);
	// Nothing to watch and no end to the wait would block for ever; Windows
	// refuses that case too.
	if (watch.fds.empty() && timeout == nullptr)
		return FailWith(WSAEINVAL);

	const Clock::time_point deadline = timeout != nullptr
		? Clock::now() + std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec)
		: Clock::time_point::max();
	for (;;)
	{
		const int wait = timeout != nullptr ? MillisecondsLeft(deadline) : -1;
		const int rc = ::poll(watch.fds.data(), watch.fds.size(), wait);
		if (rc < 0)
		{
			if (errno == EINTR)
				continue;
			return Fail();
		}
		for (const pollfd& p : watch.fds)
		{
			if (p.revents & POLLNVAL)
				return FailWith(WSAENOTSOCK);
		}
		if (rc == 0)
			break;
		if (CountReady(watch, readfds, kReadable) + CountReady(watch, writefds, kWritable) +
				CountReady(watch, exceptfds, kException) > 0)
		{
			return KeepReady(watch, readfds, kReadable) + KeepReady(watch, writefds, kWritable) +
				KeepReady(watch, exceptfds, kException);
		}
		// poll reports a hang-up or error whether asked or not; on a socket
		// watched for exceptions only, Winsock reports neither, so stop
		// watching it and wait on for the time left.
		for (pollfd& p : watch.fds)
		{
			if (p.revents != 0)
				p.fd = -1;
			p.revents = 0;
		}
	}
	KeepReady(watch, readfds, kReadable);
	KeepReady(watch, writefds, kWritable);
	KeepReady(watch, exceptfds, kException);
	return 0;
}

namespace
{

thread_local protoent t_proto;
thread_local char t_protoBuffer[1024];
char* t_noAliases[] = {nullptr};

protoent* KnownProtocol(const char* name)
{
	static char tcp[] = "tcp";
	static char udp[] = "udp";
	if (std::strcmp(name, "tcp") == 0)
		t_proto = protoent{tcp, t_noAliases, IPPROTO_TCP};
	else if (std::strcmp(name, "udp") == 0)
		t_proto = protoent{udp, t_noAliases, IPPROTO_UDP};
	else
		return nullptr;
	return &t_proto;
}

thread_local hostent t_host;
thread_local std::vector<char> t_hostBuffer;

template <typename Lookup>
hostent* HostLookup(Lookup lookup)
{
	if (t_hostBuffer.empty())
		t_hostBuffer.resize(1024);
	for (;;)
	{
		hostent* result = nullptr;
		int herr = 0;
		const int rc = lookup(&t_host, t_hostBuffer.data(), t_hostBuffer.size(), &result, &herr);
		if (rc == ERANGE && t_hostBuffer.size() < 1024 * 1024)
		{
			t_hostBuffer.resize(t_hostBuffer.size() * 2);
			continue;
		}
		if (rc == 0 && result != nullptr)
			return result;
		t_lastError = ResolverError(herr);
		return nullptr;
	}
}

} // namespace

protoent* getprotobyname(const char* name)
{
	if (name == nullptr)
	{
		FailWith(WSAEFAULT);
		return nullptr;
	}
	protoent* result = nullptr;
	if (::getprotobyname_r(name, &t_proto, t_protoBuffer, sizeof(t_protoBuffer), &result) == 0 && result != nullptr)
		return result;
	// Containers and minimal systems may lack /etc/protocols.
	result = KnownProtocol(name);
	if (result == nullptr)
		FailWith(WSANO_DATA);
	return result;
}

hostent* gethostbyname(const char* name)
{
	if (name == nullptr)
	{
		FailWith(WSAEFAULT);
		return nullptr;
	}
	return HostLookup([name](hostent* h, char* buf, size_t len, hostent** res, int* herr) {
		return ::gethostbyname_r(name, h, buf, len, res, herr);
	});
}

hostent* gethostbyaddr(const char* addr, int len, int type)
{
	if (addr == nullptr || len < 0)
	{
		FailWith(WSAEFAULT);
		return nullptr;
	}
	return HostLookup([=](hostent* h, char* buf, size_t blen, hostent** res, int* herr) {
		return ::gethostbyaddr_r(addr, static_cast<socklen_t>(len), type, h, buf, blen, res, herr);
	});
}

} // namespace winsock
