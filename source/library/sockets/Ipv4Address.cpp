#include "sockets/Ipv4Address.h"

#include "base/NetUtil.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

void Ipv4Address::Clear()
{
	std::memset(&m_address, 0, sizeof(m_address));
	m_address.sin_family = AF_INET;
}

Ipv4Address::Ipv4Address(std::uint16_t port)
{
	Clear();
	SetPort(port);
}

Ipv4Address::Ipv4Address(std::uint32_t address, std::uint16_t port)
{
	Clear();
	m_address.sin_addr.s_addr = address;
	SetPort(port);
}

Ipv4Address::Ipv4Address(const in_addr& address, std::uint16_t port)
	: Ipv4Address(address.s_addr, port)
{
}

Ipv4Address::Ipv4Address(const std::string& host, std::uint16_t port)
{
	Clear();
	std::uint32_t address = 0;
	m_valid = NetUtil::ResolveHost(host, address);
	m_address.sin_addr.s_addr = m_valid ? address : 0;
	SetPort(port);
}

Ipv4Address::Ipv4Address(const sockaddr_in& address)
{
	std::memcpy(&m_address, &address, sizeof(m_address));
	m_valid = m_address.sin_family == AF_INET;
}

const sockaddr* Ipv4Address::SockAddr() const
{
	return reinterpret_cast<const sockaddr*>(&m_address);
}

int Ipv4Address::SockAddrLength() const
{
	return sizeof(m_address);
}

bool Ipv4Address::Equals(const SocketAddress& other) const
{
	if (other.GetFamily() != GetFamily() || other.SockAddrLength() != SockAddrLength())
		return false;
	sockaddr_in theirs;
	std::memcpy(&theirs, other.SockAddr(), sizeof(theirs));
	return theirs.sin_port == m_address.sin_port && theirs.sin_addr.s_addr == m_address.sin_addr.s_addr;
}

void Ipv4Address::SetPort(std::uint16_t port)
{
	m_address.sin_port = htons(port);
}

std::uint16_t Ipv4Address::GetPort() const
{
	return ntohs(m_address.sin_port);
}

void Ipv4Address::SetSockAddr(const sockaddr* address)
{
	std::memcpy(&m_address, address, sizeof(m_address));
}

std::string Ipv4Address::ToText(bool withPort) const
{
	const auto* b = reinterpret_cast<const unsigned char*>(&m_address.sin_addr.s_addr);
	char text[16];
	std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
	if (!withPort)
		return text;
	return std::string(text) + ":" + NetUtil::LongToString(GetPort());
}

std::string Ipv4Address::ReverseName() const
{
	sockaddr_in bare;
	std::memset(&bare, 0, sizeof(bare));
	bare.sin_family = AF_INET;
	bare.sin_addr = m_address.sin_addr;
	std::string name;
	NetUtil::SockaddrToText(reinterpret_cast<const sockaddr*>(&bare), sizeof(bare), name, 0);
	return name;
}

int Ipv4Address::GetFamily() const
{
	return m_address.sin_family;
}

bool Ipv4Address::IsValid() const
{
	return m_valid;
}

std::unique_ptr<SocketAddress> Ipv4Address::Clone() const
{
	return std::make_unique<Ipv4Address>(m_address);
}
