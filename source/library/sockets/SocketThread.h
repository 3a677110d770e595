#pragma once

#include "base/Thread.h"
#include "sockets/SocketHandler.h"

class Socket;

// The thread of a detached socket: a handler of its own, in detached mode,
// that serves the one socket until it is gone; then the thread deletes
// itself, with its handler.
class SocketThread : public Thread
{
public:
	// Created not released.
	explicit SocketThread(Socket* socket);

	void Run() override;

private:
	SocketHandler m_handler;
	Socket* m_socket;
};
