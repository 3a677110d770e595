#pragma once

#include "sockets/SocketAddress.h"

// An IPv4 socket address. Valid unless it was made from a host text that did
// not resolve (then it is 0.0.0.0 with the given port).
class Ipv4Address : public SocketAddress
{
public:
	// Every interface.
	explicit Ipv4Address(std::uint16_t port);
	// The address in network byte order.
	Ipv4Address(std::uint32_t address, std::uint16_t port);
	Ipv4Address(const in_addr& address, std::uint16_t port);
	// Dotted text is read without a lookup; any other text is resolved.
	Ipv4Address(const std::string& host, std::uint16_t port);
	// Copies all 16 bytes; valid exactly when the family is AF_INET.
	explicit Ipv4Address(const sockaddr_in& address);

	const sockaddr* SockAddr() const override;
	int SockAddrLength() const override;
	bool Equals(const SocketAddress& other) const override;
	void SetPort(std::uint16_t port) override;
	std::uint16_t GetPort() const override;
	void SetSockAddr(const sockaddr* address) override;
	std::string ToText(bool withPort) const override;
	std::string ReverseName() const override;
	int GetFamily() const override;
	bool IsValid() const override;
	std::unique_ptr<SocketAddress> Clone() const override;

private:
	void Clear();

	sockaddr_in m_address;
	bool m_valid = true;
};
