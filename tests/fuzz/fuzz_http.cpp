// The HTTP request reader, through the connection's input path: any bytes a
// page (or anything else that reaches the port) sends, in reads of any
// size. The connection answers every complete request at once, as the
// polling transport does, and goes on with the next; a request with the
// handshake headers is upgraded and what follows is read as frames.
//
// Checked besides memory safety: no request body and no message passes the
// reader's limits, hooks come in order, and the page's slot (the one
// connected page) is free again once the connection is gone.

#include "AgentFuzz.h"

#include "agent/WebSocket.h"

#include <cstdint>
#include <string>

namespace {

class HttpProbe : public WebSocket
{
public:
	explicit HttpProbe(ISocketHandler& handler)
		: WebSocket(handler)
	{
	}

	void OnFirst() override
	{
		if (m_inHead)
			FuzzFail("a request line while the previous head was still open");
		m_inHead = true;
		m_body = 0;
	}
	void OnRequestHeader(const std::string&, const std::string&) override
	{
		if (!m_inHead)
			FuzzFail("a header outside a request head");
	}
	void OnRequestHeadersEnd() override
	{
		if (!m_inHead)
			FuzzFail("the end of a head that never began");
		m_inHead = false;
	}
	void OnRequestBody(const char*, std::size_t length) override
	{
		if (m_inHead)
			FuzzFail("body bytes before the end of the head");
		m_body += length;
		if (m_body > kMaxBodySize)
			FuzzFail("a request body past the reader's limit");
	}
	void OnRequestComplete() override
	{
		if (GetTransport() == TransportWebSocket)
			return;
		SetStatusCode("200");
		SetReasonPhrase("OK");
		SetResponseHeader("Content-Length", std::string("2"));
		SendResponseHead();
		Send("ok");
		ResetRequest();
	}
	void OnMessage(std::string message) override
	{
		if (message.size() > kMaxMessageSize)
			FuzzFail("a WebSocket message past the reader's limit");
	}

private:
	bool m_inHead = false;
	std::size_t m_body = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	RunConnection<HttpProbe>([&](ConnectionRun<HttpProbe>& run) {
		run.Feed(reinterpret_cast<const char*>(data) + 1, size - 1, ReadSizeOf(data[0]));
	});
	return 0;
}
