// The WebSocket frame reader after an upgrade: the fuzzer writes the frames
// (masked or not, fragmented, control frames, close) that follow a valid
// handshake, in reads of any size.
//
// Checked besides memory safety: no message passes the reader's limit, the
// upgrade answer is RFC 6455's, what the connection sends after it is a
// sequence of well-formed unmasked frames, and the page's slot is free once
// the connection is gone.

#include "AgentFuzz.h"

#include "agent/WebSocket.h"

#include <cstdint>
#include <string>

namespace {

class FrameProbe : public WebSocket
{
public:
	explicit FrameProbe(ISocketHandler& handler)
		: WebSocket(handler)
	{
	}

	void OnFirst() override {}
	void OnRequestHeader(const std::string&, const std::string&) override {}
	void OnRequestHeadersEnd() override {}
	void OnRequestBody(const char*, std::size_t) override {}
	void OnMessage(std::string message) override
	{
		if (message.size() > kMaxMessageSize)
			FuzzFail("a WebSocket message past the reader's limit");
		// Echoed, as the dispatcher answers: the writer runs too.
		SendTextFrame(message.substr(0, 300));
	}
};

// The handshake of RFC 6455 section 1.3 and its answer's key.
const char kUpgrade[] = "GET /tessark.io/?EIO=3&transport=websocket HTTP/1.1\r\nHost: 127.0.0.1\r\n"
						"Upgrade: websocket\r\nConnection: Upgrade\r\n"
						"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
const char kAccept[] = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";

// Server frames: FIN set, no mask, a known opcode, lengths that add up.
void CheckFrames(const std::string& bytes)
{
	std::size_t at = 0;
	while (at + 2 <= bytes.size())
	{
		const unsigned char first = static_cast<unsigned char>(bytes[at]);
		const unsigned char second = static_cast<unsigned char>(bytes[at + 1]);
		const int opcode = first & 0x0F;
		if ((first & 0xF0) != 0x80 || (opcode != 1 && opcode != 8 && opcode != 10))
			FuzzFail("a server frame with an unexpected first byte");
		if ((second & 0x80) != 0)
			FuzzFail("a masked server frame");
		std::size_t length = second & 0x7F;
		std::size_t header = 2;
		if (length == 126)
			header = 4;
		else if (length == 127)
			header = 10;
		if (at + header > bytes.size())
			return; // cut by the kept-answer bound
		if (header > 2)
		{
			length = 0;
			for (std::size_t i = 2; i < header; ++i)
				length = (length << 8) | static_cast<unsigned char>(bytes[at + i]);
			if ((header == 4 && length < 126) || (header == 10 && length < 65536))
				FuzzFail("a server frame length not in its shortest form");
		}
		if (opcode >= 8 && length > 125)
			FuzzFail("a server control frame longer than 125 bytes");
		at += header + length;
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	RunConnection<FrameProbe>([&](ConnectionRun<FrameProbe>& run) {
		run.Feed(kUpgrade, sizeof kUpgrade - 1, 65536);
		const std::string& answer = run.Answer();
		const std::size_t headEnd = answer.find("\r\n\r\n");
		if (answer.rfind("HTTP/1.1 101 ", 0) != 0 || answer.find(kAccept) == std::string::npos
			|| headEnd == std::string::npos)
			FuzzFail("the upgrade was not answered as RFC 6455 asks");
		run.Feed(reinterpret_cast<const char*>(data) + 1, size - 1, ReadSizeOf(data[0]));
		CheckFrames(run.Answer().substr(headEnd + 4));
	});
	return 0;
}
