#include "sockets/PoolSocket.h"

ISocketHandler::PoolSocket::PoolSocket(ISocketHandler& handler, Socket* source)
	: Socket(handler)
{
	CopyConnection(source);
	SetIsClient();
}

void ISocketHandler::PoolSocket::OnRead()
{
	Log("OnRead", 0, "data on hibernating socket", LOG_LEVEL_FATAL);
	SetCloseAndDelete(true);
}

void ISocketHandler::PoolSocket::OnSocketCreated(int, int, int, SOCKET)
{
}
