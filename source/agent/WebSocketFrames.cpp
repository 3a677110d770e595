// The WebSocket half of WebSocket: the upgrade answer and the RFC 6455 frame
// reader and writers.
#include "agent/PageSession.h"
#include "agent/PollPacket.h"
#include "agent/WebSocket.h"
#include "base/Base64.h"
#include "base/NetUtil.h"
#include "PKI/cert_util.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

enum Opcode
{
	kContinuation = 0,
	kText = 1,
	kBinary = 2,
	kClose = 8,
	kPing = 9,
	kPong = 10,
};

// Close statuses of RFC 6455 section 7.4.1.
constexpr std::uint16_t kProtocolError = 1002;
constexpr std::uint16_t kMessageTooBig = 1009;

constexpr std::size_t kMaxControlPayload = 125;

bool IsSupported(int opcode)
{
	return opcode <= kBinary || (opcode >= kClose && opcode <= kPong);
}

// Drops the bytes, wiping them first: messages carry passwords and keys.
void Wipe(std::string& bytes)
{
	OPENSSL_cleanse(&bytes[0], bytes.size());
	bytes.clear();
}

void Unmask(const unsigned char* payload, std::size_t length, const unsigned char* mask, std::string& out)
{
	const std::size_t start = out.size();
	out.append(reinterpret_cast<const char*>(payload), length);
	if (mask == nullptr)
		return;
	for (std::size_t i = 0; i < length; ++i)
		out[start + i] = static_cast<char>(out[start + i] ^ mask[i % 4]);
}

} // namespace

std::string WebSocket::AcceptKey(const std::string& key)
{
	const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
	unsigned char* digest = nullptr;
	const int length =
		DigestByName("SHA1", reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()), &digest);
	std::string accept;
	if (length > 0)
		Base64::Encode(reinterpret_cast<const char*>(digest), static_cast<std::size_t>(length), accept, false);
	std::free(digest);
	return accept;
}

bool WebSocket::Upgrade()
{
	// A request that names a polling session is a probe to move that
	// session onto a WebSocket; ours carries plain messages, not its packets,
	// so the probe is refused and the page stays on polling.
	if (PollPacket::ParseQueryString(m_query).count("sid") != 0)
	{
		Refuse(kBadUpgrade);
		return false;
	}
	if (!PageSession::ConnectWebSocket(Uid()))
	{
		Refuse(kForbidden);
		return false;
	}
	SetStatusCode("101");
	SetReasonPhrase("Switching Protocols");
	SetResponseHeader("Upgrade", std::string("websocket"));
	SetResponseHeader("Connection", std::string("Upgrade"));
	SetResponseHeader("Sec-WebSocket-Accept", m_acceptKey);
	SetResponseHeader("Sec-WebSocket-Version", m_webSocketVersion);
	SendResponseHead();
	m_upgraded = true;
	// The page's WebSocket may stay quiet as long as it likes.
	m_awaitingFirstHead = false;
	SetTimeout(0);
	OnSessionConnected();
	return true;
}

// ---- frame reader ----

void WebSocket::ReadFrames(const char* data, std::size_t n)
{
	if (n == 0 || m_closing)
		return;
	m_frameInput.append(data, n);
	std::size_t p = 0;
	while (p < m_frameInput.size())
	{
		const auto* b = reinterpret_cast<const unsigned char*>(m_frameInput.data()) + p;
		const std::size_t available = m_frameInput.size() - p;
		const bool fin = (b[0] & 0x80) != 0;
		const int opcode = b[0] & 0x0f;
		if (!IsSupported(opcode))
		{
			std::fprintf(stderr, "not support wesocket opcode [%02x]\n", opcode);
			Wipe(m_frameInput);
			return;
		}
		if (available < 2)
			break;
		std::size_t head = 2;
		std::uint64_t length = b[1] & 0x7f;
		if (length == 126)
		{
			if (available < 4)
				break;
			length = (std::uint64_t{b[2]} << 8) | b[3];
			head = 4;
		}
		else if (length == 127)
		{
			if (available < 10)
				break;
			length = 0;
			for (int i = 2; i < 10; ++i)
				length = (length << 8) | b[i];
			head = 10;
		}
		// Checked as soon as the length is known, so that no more than a
		// message's worth is ever buffered.
		if (opcode >= kClose)
		{
			if (!fin || length > kMaxControlPayload)
			{
				FailConnection(kProtocolError, "websocket control frame fragmented or above 125 bytes");
				return;
			}
		}
		else
		{
			if ((opcode == kContinuation) != m_fragmented)
			{
				FailConnection(kProtocolError, "websocket fragment out of order");
				return;
			}
			if (length > kMaxMessageSize - m_message.size())
			{
				FailConnection(kMessageTooBig,
					"websocket message exceeds builtin limit of (" +
						NetUtil::LongToString(static_cast<long>(kMaxMessageSize)) + ")");
				return;
			}
		}
		const unsigned char* mask = nullptr;
		if ((b[1] & 0x80) != 0)
		{
			mask = b + head;
			head += 4;
		}
		if (available < head || available - head < length)
			break;
		p += head + static_cast<std::size_t>(length);
		if (!OnFrame(fin, opcode, b + head, static_cast<std::size_t>(length), mask))
			return;
	}
	if (p >= m_frameInput.size())
	{
		Wipe(m_frameInput);
	}
	else if (p > 0)
	{
		OPENSSL_cleanse(&m_frameInput[0], p);
		m_frameInput.erase(0, p);
	}
}

bool WebSocket::OnFrame(bool fin, int opcode, const unsigned char* payload, std::size_t length,
	const unsigned char* mask)
{
	if (opcode >= kClose)
	{
		std::string control;
		Unmask(payload, length, mask, control);
		if (opcode == kClose)
		{
			// Answered with the same status, then the connection closes
			// once the answer has left.
			m_closing = true;
			if (length == 1)
			{
				FailConnection(kProtocolError, "websocket close frame with a one-byte status");
				return false;
			}
			SendCloseFrame(reinterpret_cast<const unsigned char*>(control.data()), std::min<std::size_t>(length, 2));
			SetCloseAndDelete(true);
			Wipe(m_frameInput);
			OnCloseFrame();
			return false;
		}
		if (opcode == kPing)
			SendPongFrame(control);
		return !CloseAndDelete();
	}
	Unmask(payload, length, mask, m_message);
	m_fragmented = !fin;
	if (fin)
	{
		std::string message;
		message.swap(m_message);
		OnMessage(std::move(message));
	}
	return !CloseAndDelete();
}

void WebSocket::FailConnection(std::uint16_t status, const std::string& text)
{
	Log("OnRawData", status, text, LOG_LEVEL_WARNING);
	const unsigned char code[2] = {static_cast<unsigned char>(status >> 8), static_cast<unsigned char>(status & 0xff)};
	SendCloseFrame(code, 2);
	m_closing = true;
	m_fragmented = false;
	Wipe(m_frameInput);
	Wipe(m_message);
	LingerAfterClose();
}

// The peer may still be sending, the rest of a message that is too big say,
// when our close frame leaves. Closing the descriptor with its bytes unread
// would make the system answer them with a reset, which can destroy the
// close frame before the peer has read it. So the sending side is shut down
// once the close frame is out, and what arrives is read and dropped until the
// peer ends its side; only then, or after kLingerSeconds, is the connection
// closed.
void WebSocket::LingerAfterClose()
{
	// A failed write has already given the connection up.
	if (CloseAndDelete())
		return;
	m_lingering = true;
	SetTimeout(kLingerSeconds);
	if (GetOutputLength() == 0)
		EndSending();
}

void WebSocket::OnWriteComplete()
{
	if (m_lingering)
		EndSending();
}

void WebSocket::EndSending()
{
	if ((GetShutdown() & kShutdownSend) || CloseAndDelete())
		return;
	// A TLS close_notify that must wait for room is left to the handler's
	// graceful close.
	if (!SendCloseNotify())
	{
		SetCloseAndDelete(true);
		return;
	}
	if (winsock::shutdown(GetSocket(), SD_SEND) == SOCKET_ERROR)
	{
		LogWinsockError("shutdown", LOG_LEVEL_ERROR);
		SetCloseAndDelete(true);
		return;
	}
	SetShutdown(kShutdownSend);
}

// ---- frame writers ----

void WebSocket::SendFrame(unsigned char first, const char* payload, std::size_t length)
{
	if (m_closeFrameSent)
		return;
	std::vector<char> frame;
	frame.reserve(10 + length);
	frame.push_back(static_cast<char>(first));
	if (length < 126)
	{
		frame.push_back(static_cast<char>(length));
	}
	else if (length <= 0xffff)
	{
		frame.push_back(126);
		frame.push_back(static_cast<char>(length >> 8));
		frame.push_back(static_cast<char>(length & 0xff));
	}
	else
	{
		frame.push_back(127);
		for (int shift = 56; shift >= 0; shift -= 8)
			frame.push_back(static_cast<char>((static_cast<std::uint64_t>(length) >> shift) & 0xff));
	}
	frame.insert(frame.end(), payload, payload + length);
	SendBuf(frame.data(), frame.size(), 0);
	OPENSSL_cleanse(frame.data(), frame.size());
}

void WebSocket::SendTextFrame(std::string text)
{
	if (text.empty())
		return;
	SendFrame(0x81, text.data(), text.size());
	OPENSSL_cleanse(&text[0], text.size());
}

void WebSocket::SendPongFrame(std::string payload)
{
	SendFrame(0x8a, payload.data(), payload.size());
}

void WebSocket::SendCloseFrame(const unsigned char* payload, std::size_t length)
{
	SendFrame(0x88, reinterpret_cast<const char*>(payload), length);
	m_closeFrameSent = true;
	// The conversation is over: the next page need not wait for the
	// connection to end.
	PageSession::ConnectionClosed(Uid(), false);
}
