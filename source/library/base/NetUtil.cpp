#include "base/NetUtil.h"

#include "base/FileUtil.h"
#include "base/Mt19937.h"
#include "base/WordParser.h"
#include "platform/env.h"
#include "platform/netdb.h"
#include "platform/sync.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kEnvBufferSize = 2048;

bool IsHexDigit(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsAlnum(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}

std::string NetUtil::LongToString(long n)
{
	char text[32];
	std::snprintf(text, sizeof(text), "%ld", n);
	return text;
}

std::uint32_t NetUtil::HexToUnsigned(const std::string& text)
{
	std::uint32_t value = 0;
	for (char byte : text)
	{
		const std::int8_t c = static_cast<std::int8_t>(byte);
		value = value * 16 + static_cast<std::uint32_t>(c) - 48;
		if (c >= 'A')
			value -= 7;
		if (c >= 'a')
			value -= 32;
	}
	return value;
}

std::string NetUtil::UrlDecode(const std::string& text)
{
	std::string out;
	out.reserve(text.size());
	for (std::size_t i = 0; i < text.size(); ++i)
	{
		const char c = text[i];
		if (c == '%' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2]))
		{
			out += static_cast<char>(HexToUnsigned(text.substr(i + 1, 2)));
			i += 2;
		}
		else if (c == '+')
			out += ' ';
		else
			out += c;
	}
	return out;
}

std::string NetUtil::UrlEncode(const std::string& text)
{
	static const char kHex[] = "0123456789ABCDEF";
	std::string out;
	for (char c : text)
	{
		if (IsAlnum(c))
			out += c;
		else if (c == ' ')
			out += '+';
		else
		{
			const unsigned char byte = static_cast<unsigned char>(c);
			out += '%';
			out += kHex[byte >> 4];
			out += kHex[byte & 15];
		}
	}
	return out;
}

bool NetUtil::IsIpv4Text(const std::string& text)
{
	int dots = 0;
	for (char c : text)
	{
		if (c == '.')
			++dots;
		else if (c < '0' || c > '9')
			return false;
	}
	return dots == 3;
}

bool NetUtil::ResolveToSockaddr(const std::string& host, sockaddr_in& out)
{
	std::memset(&out, 0, sizeof(out));
	out.sin_family = AF_INET;
	if (IsIpv4Text(host))
	{
		WordParser parser(host, ".");
		unsigned char bytes[4];
		for (unsigned char& b : bytes)
			b = static_cast<unsigned char>(parser.NextLong());
		std::memcpy(&out.sin_addr, bytes, sizeof(bytes));
		return true;
	}
	return HostByName(host.c_str(), out.sin_addr);
}

bool NetUtil::ResolveHost(const std::string& host, std::uint32_t& address)
{
	sockaddr_in sa;
	const bool ok = ResolveToSockaddr(host, sa);
	address = sa.sin_addr.s_addr;
	return ok;
}

bool NetUtil::AddressToText(std::uint32_t address, std::string& text)
{
	sockaddr_in sa;
	std::memset(&sa, 0, sizeof(sa));
	sa.sin_family = AF_INET;
	sa.sin_addr.s_addr = address;
	SockaddrToText(reinterpret_cast<const sockaddr*>(&sa), sizeof(sa), text, ZC_NI_NUMERICHOST);
	return true;
}

bool NetUtil::SockaddrToText(const sockaddr* address, socklen_t length, std::string& host, int flags)
{
	std::string service;
	return SockaddrToHostService(address, length, host, service, flags);
}

bool NetUtil::SockaddrToHostService(const sockaddr* address, socklen_t, std::string& host,
	std::string& service, int flags)
{
	host.clear();
	service.clear();
	if (address == nullptr || address->sa_family != AF_INET)
		return false;
	sockaddr_in sa;
	std::memcpy(&sa, address, sizeof(sa));
	if (flags & ZC_NI_NUMERICHOST)
	{
		const unsigned char* b = reinterpret_cast<const unsigned char*>(&sa.sin_addr);
		char text[16];
		std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
		host = text;
		return true;
	}
	return HostByAddress(sa.sin_addr, host);
}

std::string NetUtil::GetEnvVar(const std::string& name)
{
	char value[kEnvBufferSize];
	std::size_t size = 0;
	if (getenv_s(&size, value, sizeof(value), name.c_str()) != 0)
		return std::string();
	return value;
}

void NetUtil::SetEnvVar(const std::string& name, const std::string& value)
{
	_putenv((name + "=" + value).c_str());
}

void NetUtil::NowTimeval(timeval& out)
{
	// Microseconds since 1601-01-01, counted from the Unix epoch here.
	constexpr std::uint64_t kEpochOffsetUs = 11644473600ULL * 1000000ULL;
	FILETIME ft;
	GetSystemTimeAsFileTime(&ft);
	const std::uint64_t us = ((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10;
	const std::uint64_t sinceEpoch = us - kEpochOffsetUs;
	out.tv_sec = static_cast<time_t>(sinceEpoch / 1000000);
	out.tv_usec = static_cast<suseconds_t>(sinceEpoch % 1000000);
}

unsigned long NetUtil::CurrentThreadId()
{
	return GetCurrentThreadId();
}

std::string NetUtil::ToLowerAscii(const std::string& text)
{
	std::string out(text);
	for (char& c : out)
		c = LowerAscii(c);
	return out;
}

std::uint32_t NetUtil::RandomNumber()
{
	static Mt19937 source(static_cast<std::uint32_t>(_time64(nullptr)));
	return source.Next();
}

std::string NetUtil::NotAvailable()
{
	return "Not available";
}

void NetUtil::SleepMs(std::uint32_t milliseconds)
{
	Sleep(milliseconds);
}
