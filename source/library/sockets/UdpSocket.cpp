#include "sockets/UdpSocket.h"

#include "base/Exception.h"
#include "base/NetUtil.h"
#include "sockets/Ipv4Address.h"
#include "sockets/WinsockInit.h"

UdpSocket::UdpSocket(ISocketHandler& handler, int bufferSize, int extraReads)
	: Socket(handler)
	, m_buffer(new char[bufferSize > 0 ? bufferSize : 1])
	, m_bufferSize(bufferSize > 0 ? bufferSize : 1)
	, m_extraReads(extraReads)
{
}

std::uint16_t UdpSocket::GetPort()
{
	return m_port;
}

void UdpSocket::OnSocketCreated(int, int, int, SOCKET)
{
}

void UdpSocket::CreateDescriptor(int family)
{
	if (GetSocket() == INVALID_SOCKET)
		Attach(CreateSocket(family, SOCK_DGRAM, "udp"));
}

int UdpSocket::Bind(const std::string& host, std::uint16_t& port, int range)
{
	Ipv4Address address(host, port);
	if (!address.IsValid())
	{
		SetCloseAndDelete(true);
		return -1;
	}
	const int result = Bind(address, range);
	if (m_bound)
		port = m_port;
	return result;
}

int UdpSocket::Bind(SocketAddress& address, int range)
{
	CreateDescriptor(address.GetFamily());
	if (GetSocket() == INVALID_SOCKET)
		return -1;
	SetNonblocking(true);
	int tries = 0;
	while (winsock::bind(GetSocket(), address.SockAddr(), address.SockAddrLength()) == SOCKET_ERROR)
	{
		if (tries >= range)
		{
			const int err = WSAGetLastError();
			Log("bind", err, WinsockErrorText(err), LOG_LEVEL_FATAL);
			SetCloseAndDelete(true);
			throw Exception("bind() failed for UdpSocket, port:range: " + NetUtil::LongToString(address.GetPort()) +
				":" + NetUtil::LongToString(range));
		}
		++tries;
		address.SetPort(static_cast<std::uint16_t>(address.GetPort() + 1));
	}
	m_bound = true;
	m_port = GetSockPort();
	return 0;
}

void UdpSocket::SendToBuf(const std::string& host, std::uint16_t port, const char* data, int length, int flags)
{
	Ipv4Address address(host, port);
	if (address.IsValid())
		SendToBuf(address, data, length, flags);
}

void UdpSocket::SendToBuf(SocketAddress& address, const char* data, int length, int flags)
{
	CreateDescriptor(address.GetFamily());
	if (GetSocket() == INVALID_SOCKET)
		return;
	SetNonblocking(true);
	if (winsock::sendto(GetSocket(), data, length, flags, address.SockAddr(), address.SockAddrLength()) ==
		SOCKET_ERROR)
		LogWinsockError("sendto", LOG_LEVEL_ERROR);
}

void UdpSocket::SendTo(const std::string& host, std::uint16_t port, const std::string& data, int flags)
{
	SendToBuf(host, port, data.data(), static_cast<int>(data.size()), flags);
}

void UdpSocket::SendBuf(const char* data, std::size_t length, int flags)
{
	if (!IsConnected())
	{
		Log("SendBuf", 0, "not connected", LOG_LEVEL_ERROR);
		return;
	}
	if (winsock::send(GetSocket(), data, static_cast<int>(length), flags) == SOCKET_ERROR)
		LogWinsockError("send", LOG_LEVEL_ERROR);
}

void UdpSocket::Send(const std::string& data, int flags)
{
	SendBuf(data.data(), data.size(), flags);
}

void UdpSocket::OnRead()
{
	sockaddr_in from;
	int fromLength = sizeof(from);
	int n = winsock::recvfrom(GetSocket(), m_buffer.get(), m_bufferSize, 0, reinterpret_cast<sockaddr*>(&from),
		&fromLength);
	int extra = m_extraReads;
	while (n > 0)
	{
		if (fromLength != static_cast<int>(sizeof(from)))
			Log("recvfrom", 0, "unexpected address struct size", LOG_LEVEL_WARNING);
		OnDatagram(m_buffer.get(), n, reinterpret_cast<sockaddr*>(&from), fromLength);
		if (extra <= 0)
			return;
		--extra;
		n = winsock::recvfrom(GetSocket(), m_buffer.get(), m_bufferSize, 0, reinterpret_cast<sockaddr*>(&from),
			&fromLength);
	}
	if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
		LogWinsockError("recvfrom", LOG_LEVEL_ERROR);
}

void UdpSocket::OnDatagram(const char*, int, sockaddr*, int)
{
}
