#pragma once

#include "agent/WebSocketServer.h"

// The agent's connection: the listener makes one for each accepted
// connection. It turns TLS on when the agent was started for it, notes the
// page that connected, and hands each message of the page to the event
// dispatcher, sending the reply back the way the message came.
class wsSocket : public WebSocketServer
{
public:
	explicit wsSocket(ISocketHandler& handler);
	~wsSocket() override;

	Socket* Create() override;
	void Init() override;
	void InitSSLServer() override;
	void OnMessage(std::string message) override;
	void OnSessionConnected() override;
	void OnResponseSent() override;
};
