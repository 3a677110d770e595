#include "sockets/StreamSocket.h"

StreamSocket::StreamSocket(ISocketHandler& handler)
	: Socket(handler)
{
}

bool StreamSocket::Ready()
{
	return GetSocket() != INVALID_SOCKET && !m_connecting && !m_negotiating && !CloseAndDelete();
}

void StreamSocket::SetLineMode(bool on)
{
	m_lineMode = on;
}

void StreamSocket::SetConnecting(bool on)
{
	if (on == m_connecting)
		return;
	m_connecting = on;
	SetTimeout(on ? m_connectTimeout : 0);
}

void StreamSocket::SetNegotiating(bool on)
{
	if (on == m_negotiating || m_connecting)
		return;
	m_negotiating = on;
	SetTimeout(on ? m_negotiateTimeout : 0);
}
