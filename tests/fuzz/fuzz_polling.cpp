// The polling transport's POST decoding, plain and JSONP: the fuzzer writes
// the body of a POST on "/tessark.io/" (for JSONP the form text "d=..."),
// which goes through the connection's input path, the URL decoding and the
// undoing of the client's line-feed escapes, the narrowing from UTF-8 to one byte per character and the packet decoder.
//
// Checked besides memory safety: no more messages reach the dispatcher than
// the body has records, each is a piece of the decoded body beginning with
// "[" (or empty, for a packet 42 without one), a POST that carried one is
// answered "ok" once all its records have acted, and the page's slot is free
// once the connection is gone.

#include "AgentFuzz.h"

#include "agent/PollPacket.h"
#include "agent/WebSocketServer.h"
#include "base/Encoding.h"
#include "base/NetUtil.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

class PollingProbe : public WebSocketServer
{
public:
	explicit PollingProbe(ISocketHandler& handler)
		: WebSocketServer(handler)
	{
	}

	void OnResponseSent() override {}
	void OnMessage(std::string message) override { messages.push_back(std::move(message)); }

	std::vector<std::string> messages;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	// First byte: bit 0 JSONP, the rest the read size.
	const bool jsonp = (data[0] & 1) != 0;
	const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
	const std::string head = std::string("POST /tessark.io/?EIO=3&transport=polling&t=LzX1a&sid=fuzzsession")
		+ (jsonp ? "&j=0" : "") + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
		+ (jsonp ? "application/x-www-form-urlencoded" : "text/plain;charset=UTF-8")
		+ "\r\nContent-Length: " + NetUtil::LongToString(static_cast<long>(body.size())) + "\r\n\r\n";

	RunConnection<PollingProbe>([&](ConnectionRun<PollingProbe>& run) {
		// The POST is the connected page's.
		PageSession::Opened("fuzzsession");
		PageSession::ConnectPolling("fuzzsession", run.Socket().Uid());
		run.Feed(head, 65536);
		run.Feed(body, ReadSizeOf(data[0] >> 1));
		PollingProbe& probe = run.Socket();
		if (probe.messages.empty())
			return;
		// What the decoder read: the body, for JSONP the form's text, narrowed.
		std::string decoded = jsonp ? PollPacket::JsonpFormText(body) : body;
		ConvertEncodingInPlace("UTF-8", "ISO-8859-1", decoded, true);
		// Every record is "<length>:<packet>": no more messages than colons.
		if (probe.messages.size() > static_cast<std::size_t>(std::count(decoded.begin(), decoded.end(), ':')))
			FuzzFail("more messages than the body has records");
		for (const std::string& message : probe.messages)
			if (!message.empty() && (message[0] != '[' || decoded.find(message) == std::string::npos))
				FuzzFail("a message that is not a piece of the body starting with \"[\"");
		if (run.Answer().find("\r\n\r\nok") == std::string::npos)
			FuzzFail("a POST that carried a message was not answered \"ok\"");
	});
	return 0;
}
