#pragma once

#include "sockets/Socket.h"

#include <cstdint>
#include <memory>
#include <string>

// A datagram socket: binds a local address (trying a range of ports), sends
// datagrams to an address or a host text, and hands each datagram that
// arrives to OnDatagram. The handler's wake-up socket is one of these.
class UdpSocket : public Socket
{
public:
	// bufferSize is the longest datagram read whole; one OnRead reads at most
	// extraReads + 1 datagrams.
	UdpSocket(ISocketHandler& handler, int bufferSize = 16384, int extraReads = 0);

	// The port the descriptor is bound to; 0 before a successful bind.
	std::uint16_t GetPort() override;
	// One datagram on a socket its user has connected.
	void SendBuf(const char* data, std::size_t length, int flags = 0) override;
	void Send(const std::string& data, int flags = 0) override;
	void OnRead() override;
	void OnSocketCreated(int family, int type, int protocol, SOCKET s) override;

	// Tries port, port + 1 ... port + range and writes the bound port back.
	// 0 on success; -1, with the close requested, when the host does not
	// resolve. Throws Exception when every attempt fails.
	int Bind(const std::string& host, std::uint16_t& port, int range = 1);
	// The same for an address, whose port the retries advance.
	int Bind(SocketAddress& address, int range = 1);
	bool IsBound() const { return m_bound; }

	// One datagram. A socket without a descriptor sends from a new, unbound
	// one; a host text that does not resolve sends nothing.
	void SendToBuf(const std::string& host, std::uint16_t port, const char* data, int length, int flags = 0);
	void SendToBuf(SocketAddress& address, const char* data, int length, int flags = 0);
	void SendTo(const std::string& host, std::uint16_t port, const std::string& data, int flags = 0);

	// One received datagram; the default drops it.
	virtual void OnDatagram(const char* data, int length, sockaddr* from, int fromLength);

private:
	// Makes and attaches a descriptor when none is held.
	void CreateDescriptor(int family);

	std::unique_ptr<char[]> m_buffer;
	int m_bufferSize;
	bool m_bound = false;
	std::uint16_t m_port = 0;
	int m_extraReads;
};
