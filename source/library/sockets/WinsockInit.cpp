#include "sockets/WinsockInit.h"

#include <cstdio>
#include <cstdlib>

// In the same unit as WinsockErrorText, which every socket uses, so that the
// linker always keeps it.
static WinsockInit g_winsockInit;

WinsockInit::WinsockInit()
{
	if (WSAStartup(MAKEWORD(1, 1), &m_wsaData) != 0)
		std::exit(-1);
}

WinsockInit::~WinsockInit()
{
	WSACleanup();
}

namespace
{

struct ErrorText
{
	int code;
	const char* text;
};

const ErrorText kErrorTexts[] = {
	{WSAEINTR, "Interrupted function call."},
	{WSAEACCES, "Permission denied."},
	{WSAEFAULT, "Bad address."},
	{WSAEINVAL, "Invalid argument."},
	{WSAEMFILE, "Too many open files."},
	{WSAEWOULDBLOCK, "Resource temporarily unavailable."},
	{WSAEINPROGRESS, "Operation now in progress."},
	{WSAEALREADY, "Operation already in progress."},
	{WSAENOTSOCK, "Socket operation on nonsocket."},
	{WSAEDESTADDRREQ, "Destination address required."},
	{WSAEMSGSIZE, "Message too long."},
	{WSAEPROTOTYPE, "Protocol wrong type for socket."},
	{WSAENOPROTOOPT, "Bad protocol option."},
	{WSAEPROTONOSUPPORT, "Protocol not supported."},
	{WSAESOCKTNOSUPPORT, "Socket type not supported."},
	{WSAEOPNOTSUPP, "Operation not supported."},
	{WSAEPFNOSUPPORT, "Protocol family not supported."},
	{WSAEAFNOSUPPORT, "Address family not supported by protocol family."},
	{WSAEADDRINUSE, "Address already in use."},
	{WSAEADDRNOTAVAIL, "Cannot assign requested address."},
	{WSAENETDOWN, "Network is down."},
	{WSAENETUNREACH, "Network is unreachable."},
	{WSAENETRESET, "Network dropped connection on reset."},
	{WSAECONNABORTED, "Software caused connection abort."},
	{WSAECONNRESET, "Connection reset by peer."},
	{WSAENOBUFS, "No buffer space available."},
	{WSAEISCONN, "Socket is already connected."},
	{WSAENOTCONN, "Socket is not connected."},
	{WSAESHUTDOWN, "Cannot send after socket shutdown."},
	{WSAETIMEDOUT, "Connection timed out."},
	{WSAECONNREFUSED, "Connection refused."},
	{WSAEHOSTDOWN, "Host is down."},
	{WSAEHOSTUNREACH, "No route to host."},
	{WSAEPROCLIM, "Too many processes."},
	{WSASYSNOTREADY, "Network subsystem is unavailable."},
	{WSAVERNOTSUPPORTED, "Winsock.dll version out of range."},
	{WSANOTINITIALISED, "Successful WSAStartup not yet performed."},
	{WSAEDISCON, "Graceful shutdown in progress."},
	{WSATYPE_NOT_FOUND, "Class type not found."},
	{WSAHOST_NOT_FOUND, "Host not found."},
	{WSATRY_AGAIN, "Nonauthoritative host not found."},
	{WSANO_RECOVERY, "This is a nonrecoverable error."},
	{WSANO_DATA, "Valid name, no data record of requested type."},
};

} // namespace

const char* WinsockErrorText(int code)
{
	for (const ErrorText& e : kErrorTexts)
	{
		if (e.code == code)
			return e.text;
	}
	// One buffer per thread: the sockets of several handler threads may
	// report at the same time.
	thread_local char buffer[100];
	std::snprintf(buffer, sizeof(buffer), "Winsock error code: %d", code);
	return buffer;
}
