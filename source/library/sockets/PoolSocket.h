#pragma once

#include "sockets/ISocketHandler.h"
#include "sockets/Socket.h"

// A closed client connection kept open for reuse: it waits in the registry
// until an Open to the same address takes it over. Data arriving on it
// ends it.
class ISocketHandler::PoolSocket : public Socket
{
public:
	// Takes over the source's descriptor, type, protocol and addresses.
	PoolSocket(ISocketHandler& handler, Socket* source);

	void OnRead() override;
	void OnSocketCreated(int family, int type, int protocol, SOCKET s) override;
};
