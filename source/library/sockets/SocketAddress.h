#pragma once

#include "platform/winsock.h"

#include <cstdint>
#include <memory>
#include <string>

// The address of a socket's peer or binding point, so that the socket classes
// never handle a raw socket address themselves.
class SocketAddress
{
public:
	virtual ~SocketAddress() = default;

	virtual const sockaddr* SockAddr() const = 0;
	virtual int SockAddrLength() const = 0;
	virtual bool Equals(const SocketAddress& other) const = 0;
	// Ports are in host order.
	virtual void SetPort(std::uint16_t port) = 0;
	virtual std::uint16_t GetPort() const = 0;
	virtual void SetSockAddr(const sockaddr* address) = 0;
	virtual std::string ToText(bool withPort) const = 0;
	// The resolver's name for the address; empty when it knows none.
	virtual std::string ReverseName() const = 0;
	virtual int GetFamily() const = 0;
	virtual bool IsValid() const = 0;
	virtual std::unique_ptr<SocketAddress> Clone() const = 0;
};
