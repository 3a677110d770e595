#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>

// Small stateless helpers shared by the socket framework, the HTTP code and
// the certificate library. Texts are byte strings; only ASCII letters and
// digits are ever classified.
class NetUtil
{
public:
	static std::string LongToString(long n);
	// Never rejects a byte: anything outside 0-9, A-F, a-f enters the same sum.
	static std::uint32_t HexToUnsigned(const std::string& text);
	static std::string UrlDecode(const std::string& text);
	static std::string UrlEncode(const std::string& text);
	// Only digits and dots, with exactly three dots ("..." included).
	static bool IsIpv4Text(const std::string& text);

	// A host text to an IPv4 address with port 0. Dotted text is read without a
	// lookup, each part cut to 8 bits ("10.0.0.300" is 10.0.0.44).
	static bool ResolveToSockaddr(const std::string& host, sockaddr_in& out);
	// The address in network byte order; 0 when the result is false.
	static bool ResolveHost(const std::string& host, std::uint32_t& address);
	static bool AddressToText(std::uint32_t address, std::string& text);
	// With the ZC_NI_NUMERICHOST bit in flags the text is the dotted quad;
	// otherwise the resolver's name for the address.
	static bool SockaddrToText(const sockaddr* address, socklen_t length, std::string& host, int flags);
	static bool SockaddrToHostService(const sockaddr* address, socklen_t length, std::string& host,
		std::string& service, int flags);

	// "" for an unset variable and for a value of 2048 bytes or more.
	static std::string GetEnvVar(const std::string& name);
	// An empty value removes the variable.
	static void SetEnvVar(const std::string& name, const std::string& value);

	static void NowTimeval(timeval& out);
	static unsigned long CurrentThreadId();
	static std::string ToLowerAscii(const std::string& text);
	// The process's random source, seeded with the time of its first call.
	// Call it from one thread only.
	static std::uint32_t RandomNumber();
	static std::string NotAvailable();
	static void SleepMs(std::uint32_t milliseconds);
};
