#include "agent/wsSocket.h"

#include "PKI/NpkiStore.h"
#include "agent/AgentState.h"
#include "agent/EventDispatcher.h"
#include "agent/MessageStore.h"

#include <openssl/ssl.h>

namespace
{

// The pass phrase of the agent's certificate file.
const char kCertPassPhrase[] = "61937";

} // namespace

wsSocket::wsSocket(ISocketHandler& handler)
	: WebSocketServer(handler)
{
}

wsSocket::~wsSocket() = default;

Socket* wsSocket::Create()
{
	return new wsSocket(Handler());
}

void wsSocket::Init()
{
	if (g_useTls)
		EnableSSL(true);
}

void wsSocket::InitSSLServer()
{
	InitializeContext("", g_certPath, kCertPassPhrase, TLS_server_method());
}

void wsSocket::OnMessage(std::string message)
{
	// Nothing acts after a terminate, whatever came with it.
	if (g_quitRequested)
		return;
	const EventDispatcher::Outcome outcome = EventDispatcher::Dispatch(message, g_npkiStore);
	if (outcome.terminate)
		g_quitRequested = 1;
	if (!outcome.hasReply)
		return;
	if (GetTransport() == TransportWebSocket)
		SendToClient(outcome.reply);
	// A polling reply waits for the connected page's next poll. Before any
	// page has connected there is no session whose poll would ever take it.
	else if (!g_sessionId.empty())
		g_messageStore.Push(g_sessionId, outcome.reply);
}

void wsSocket::OnSessionConnected()
{
	g_sessionId = GetSid();
	if (g_watchdog != nullptr)
		g_watchdog->clientConnected = 1;
}

void wsSocket::OnResponseSent()
{
}
