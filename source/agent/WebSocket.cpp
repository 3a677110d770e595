#include "agent/WebSocket.h"

#include "agent/PageSession.h"
#include "base/NetUtil.h"
#include "base/WordParser.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace
{

// A line of the chunked framing (size line or trailer) may be no longer than
// a line of the head.
constexpr std::size_t kMaxChunkLine = 8191;

bool EndsInCrLf(const std::string& s)
{
	return s.size() >= 2 && s[s.size() - 2] == '\r' && s[s.size() - 1] == '\n';
}

// "HTTP/" in any case: a version, or the start of a status line.
bool IsHttpVersion(const std::string& word)
{
	return NetUtil::ToLowerAscii(word.substr(0, 5)) == "http/";
}

bool IsHexDigit(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

WebSocket::WebSocket(ISocketHandler& handler)
	: TcpSocket(handler)
{
	SetLineMode(true);
	SetBypassInputBuffer(true);
}

WebSocket::~WebSocket()
{
	if (m_upgraded)
		PageSession::ConnectionClosed(Uid(), false);
	OPENSSL_cleanse(&m_frameInput[0], m_frameInput.size());
	OPENSSL_cleanse(&m_message[0], m_message.size());
}

void WebSocket::OnAccept()
{
	TcpSocket::OnAccept();
	ArmFirstHeadTimeout();
}

void WebSocket::OnSSLAccept()
{
	TcpSocket::OnSSLAccept();
	ArmFirstHeadTimeout();
}

bool WebSocket::SSLNegotiate()
{
	const bool done = TcpSocket::SSLNegotiate();
	if (!done)
		ArmFirstHeadTimeout();
	return done;
}

void WebSocket::ArmFirstHeadTimeout()
{
	if (!m_awaitingFirstHead || CloseAndDelete())
		return;
	const auto elapsed =
		std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_createdAt).count();
	const std::int64_t left = m_requestSeconds - elapsed;
	// Past the deadline (a handshake step that came in its last moments):
	// closed now, so that a peer moving a byte at a time gains nothing.
	if (left <= 0)
	{
		SetFlushBeforeClose(false);
		SetCloseAndDelete(true);
		return;
	}
	// A handshake under way keeps its own limit while that is the shorter.
	if (IsNegotiating() && left >= GetNegotiateTimeout())
		return;
	SetTimeout(left);
}

void WebSocket::OnTimeout()
{
	if (!m_upgraded)
	{
		// A request that did not arrive whole in time, or an idle connection.
		SetCloseAndDelete(true);
	}
	else if (m_lingering)
	{
		// The peer never ended its side after our close frame: it is not
		// waited for any longer.
		SetFlushBeforeClose(false);
		SetCloseAndDelete(true);
	}
	else
	{
		TcpSocket::OnTimeout();
	}
}

void WebSocket::OnRequestComplete()
{
}

void WebSocket::OnMessage(std::string)
{
}

void WebSocket::OnCloseFrame()
{
}

void WebSocket::OnSessionConnected()
{
}

std::string WebSocket::ProductToken()
{
	return std::string("e-tessark/") + "1.0.0";
}

void WebSocket::ResetRequest()
{
	m_responseHeaders.clear();
}

void WebSocket::Refuse(const Refusal& refusal)
{
	SetStatusCode(refusal.code);
	SetReasonPhrase(refusal.reason);
	if (refusal.closeHeader)
		SetResponseHeader("Connection", std::string("close"));
	SendResponseHead();
	ResetRequest();
	SetCloseAndDelete(true);
}

void WebSocket::SetRequestHeld(bool held)
{
	m_requestHeld = held;
	if (m_upgraded || CloseAndDelete())
		return;
	SetTimeout(held ? 0 : m_requestSeconds);
}

void WebSocket::RestartDeadline()
{
	if (m_upgraded || m_requestHeld || m_awaitingFirstHead || CloseAndDelete())
		return;
	SetTimeout(m_requestSeconds);
}

void WebSocket::HoldInput()
{
	m_inputHeld = true;
}

void WebSocket::OnRead(char* buf, std::size_t n)
{
	if (m_inputHeld)
		KeepInput(buf, n);
	else
		TcpSocket::OnRead(buf, n);
}

void WebSocket::KeepInput(const char* bytes, std::size_t n)
{
	// Nothing is dropped: the bytes are kept whole, and the peer is paced
	// once they reach the limit.
	m_heldInput.append(bytes, n);
	if (m_heldInput.size() >= kMaxHeldInput)
		SetInputPaused(true);
}

void WebSocket::ReleaseInput()
{
	if (!m_inputHeld)
		return;
	m_inputHeld = false;
	SetInputPaused(false);
	std::string waiting;
	waiting.swap(m_heldInput);
	if (!waiting.empty() && !CloseAndDelete())
		ReadOn(waiting.data(), waiting.size());
}

// ---- deadlines ----

void WebSocket::OnRead()
{
	NoteRequestStart();
	TcpSocket::OnRead();
}

void WebSocket::NoteRequestStart()
{
	if (!m_betweenRequests || m_upgraded)
		return;
	m_betweenRequests = false;
	SetTimeout(m_requestSeconds);
}

void WebSocket::CompleteRequest()
{
	m_awaitingFirstHead = false;
	if (!m_upgraded)
		SetTimeout(m_requestSeconds);
	OnRequestComplete();
}

void WebSocket::ExpectNextRequest()
{
	SetLineMode(true);
	m_firstLine = true;
	m_head = true;
	m_contentLength = 0;
	m_headerCount = 0;
	m_betweenRequests = true;
}

// ---- request head ----

void WebSocket::OnLine(const std::string& line)
{
	if (m_firstLine)
		OnRequestLine(line);
	else if (!line.empty())
		OnHeaderLine(line);
	else
		OnHeadEnd();
}

void WebSocket::OnRequestLine(const std::string& line)
{
	WordParser words(line);
	const std::string first = words.NextWord();
	if (IsHttpVersion(first))
	{
		// A status line: only the response fields change.
		m_statusCode = words.NextWord();
		m_reasonPhrase = words.RestOfText();
	}
	else
	{
		// The first bytes of a request may have come with the last one's.
		NoteRequestStart();
		m_method = first;
		m_target = words.NextWord();
		const std::size_t q = m_target.find('?');
		m_path = m_target.substr(0, q);
		m_query = q == std::string::npos ? std::string() : m_target.substr(q + 1);
		m_version = words.NextWord();
		// A request line without a version (or cut short) is answered in a
		// form every client reads.
		if (!IsHttpVersion(m_version))
			m_version = "HTTP/1.0";
		m_http11 = m_version.size() > 4 && m_version.compare(4, std::string::npos, "/1.1") == 0;
		m_keepAlive = m_http11;
		m_chunkedTotal = 0;
	}
	m_firstLine = false;
	OnFirst();
}

void WebSocket::OnHeaderLine(const std::string& line)
{
	WordParser words(line, ":");
	const std::string name = words.NextWord();
	const std::string value = words.RestOfText();
	OnRequestHeader(name, value);
	const std::string lower = NetUtil::ToLowerAscii(name);
	if (lower == "sec-websocket-key")
	{
		m_acceptKey = AcceptKey(value);
		m_transport = TransportWebSocket;
	}
	else if (lower == "sec-websocket-version")
	{
		m_transport = TransportWebSocket;
		m_webSocketVersion = value;
	}
	else if (lower == "content-length")
	{
		if (!TakeContentLength(value))
			return;
	}
	if (m_http11 && lower == "connection")
		m_keepAlive = NetUtil::ToLowerAscii(value) != "close";
	if (lower == "transfer-encoding" && NetUtil::ToLowerAscii(value) == "chunked")
		m_chunked = true;
	CountHeaderLine("OnLine");
}

bool WebSocket::CountHeaderLine(const std::string& call)
{
	if (m_headerCount++ <= m_headerLimit)
		return true;
	RefuseRequest(call, m_headerCount,
		"http header count exceeds builtin limit of (" + NetUtil::LongToString(m_headerLimit) + ")");
	return false;
}

bool WebSocket::TakeContentLength(const std::string& value)
{
	// Digits only, with nothing but blanks after them; no sign, no overflow.
	const std::size_t end = value.find_last_not_of(" \t");
	std::size_t length = 0;
	bool valid = end != std::string::npos;
	for (std::size_t i = 0; valid && i <= end; ++i)
	{
		const char c = value[i];
		valid = c >= '0' && c <= '9';
		length = length * 10 + static_cast<std::size_t>(c - '0');
		valid = valid && length <= kMaxBodySize;
	}
	if (!valid)
	{
		RefuseRequest("OnLine", 0,
			"http content-length is not a length within the builtin limit of (" +
				NetUtil::LongToString(static_cast<long>(kMaxBodySize)) + ")");
		return false;
	}
	m_contentLength = static_cast<std::int32_t>(length);
	return true;
}

void WebSocket::RefuseRequest(const std::string& call, int code, const std::string& text)
{
	SetCloseAndDelete(true);
	Log(call, code, text, LOG_LEVEL_FATAL);
}

void WebSocket::OnHeadEnd()
{
	const bool nextInLineMode = m_contentLength == 0 && m_http11 && m_keepAlive && !m_chunked;
	if (!nextInLineMode)
	{
		SetLineMode(false);
		m_head = false;
	}
	OnRequestHeadersEnd();
	if (m_transport == TransportWebSocket && !m_upgraded && !Upgrade())
		return;
	if (m_contentLength != 0 || m_chunked)
		return;
	CompleteRequest();
	// The line reader goes on with any bytes that followed the head.
	if (nextInLineMode && !m_upgraded)
		ExpectNextRequest();
}

// ---- request body ----

void WebSocket::OnRawData(const char* data, std::size_t n)
{
	if (m_transport == TransportWebSocket)
		ReadFrames(data, n);
	else
		ReadBody(data, n);
}

void WebSocket::ReadBody(const char* data, std::size_t n)
{
	if (m_head || n == 0)
		return;
	if (m_chunked)
	{
		ReadChunked(data, n);
		return;
	}
	// Never more than the announced length: on a connection that serves
	// one request the bytes after the body are dropped, on a keep-alive one
	// they start the next request.
	const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(std::max(m_contentLength, 0)), n);
	if (k == 0)
		return;
	OnRequestBody(data, k);
	m_contentLength -= static_cast<std::int32_t>(k);
	if (m_contentLength != 0)
		return;
	CompleteRequest();
	if (m_http11 && m_keepAlive)
		NextRequest(data + k, n - k);
}

void WebSocket::NextRequest(const char* rest, std::size_t n)
{
	ExpectNextRequest();
	if (n == 0 || CloseAndDelete())
		return;
	ReadOn(rest, n);
}

void WebSocket::ReadOn(const char* bytes, std::size_t n)
{
	// A read at a time, as they came; once a request holds the input, the
	// rest is kept again.
	std::vector<char> read(kReadSize + 1);
	for (std::size_t at = 0, k; at < n; at += k)
	{
		if (m_inputHeld)
		{
			KeepInput(bytes + at, n - at);
			return;
		}
		k = std::min(n - at, kReadSize);
		std::copy(bytes + at, bytes + at + k, read.begin());
		read[k] = 0;
		TcpSocket::OnRead(read.data(), k);
	}
}

void WebSocket::ReadChunked(const char* data, std::size_t n)
{
	std::size_t i = 0;
	while (i < n && !CloseAndDelete())
	{
		switch (m_chunkState)
		{
		case ChunkSizeLine:
			if (CollectChunkLine(data, n, i) && TakeChunkSize())
				m_chunkState = m_chunkRemaining > 0 ? ChunkData : ChunkTrailer;
			break;
		case ChunkData:
		{
			const std::size_t k = std::min<std::size_t>(m_chunkRemaining, n - i);
			OnRequestBody(data + i, k);
			m_chunkRemaining -= static_cast<std::uint32_t>(k);
			i += k;
			if (m_chunkRemaining == 0)
				m_chunkState = ChunkDataCr;
			break;
		}
		case ChunkDataCr:
		case ChunkDataLf:
		{
			const char expected = m_chunkState == ChunkDataCr ? '\r' : '\n';
			if (data[i++] != expected)
			{
				RefuseRequest("OnRawData", 0, "http chunk data not followed by CR LF");
				return;
			}
			m_chunkState = m_chunkState == ChunkDataCr ? ChunkDataLf : ChunkSizeLine;
			break;
		}
		case ChunkTrailer:
			if (!CollectChunkLine(data, n, i))
				break;
			// Trailer fields are read and dropped, counted with the head's
			// lines; the empty line ends the request.
			if (m_chunkLine != "\r\n")
			{
				m_chunkLine.clear();
				if (!CountHeaderLine("OnRawData"))
					return;
				break;
			}
			m_chunked = false;
			m_chunkState = ChunkSizeLine;
			m_chunkLine.clear();
			// The request is complete before the bytes after it are read
			// as the next one.
			CompleteRequest();
			NextRequest(data + i, n - i);
			return;
		}
	}
}

bool WebSocket::CollectChunkLine(const char* data, std::size_t n, std::size_t& i)
{
	while (i < n)
	{
		m_chunkLine += data[i++];
		if (EndsInCrLf(m_chunkLine))
			return true;
		if (m_chunkLine.size() > kMaxChunkLine)
		{
			RefuseRequest("OnRawData", static_cast<int>(m_chunkLine.size()), "http chunk line too long");
			return false;
		}
	}
	return false;
}

bool WebSocket::TakeChunkSize()
{
	m_chunkLine.resize(m_chunkLine.size() - 2);
	const std::string size = WordParser(m_chunkLine, ";").NextWord();
	m_chunkLine.clear();
	if (size.empty() || !std::all_of(size.begin(), size.end(), IsHexDigit))
	{
		RefuseRequest("OnRawData", 0, "http chunk size is not hexadecimal");
		return false;
	}
	// Digits past the limit are refused before they could overflow.
	std::size_t value = 0;
	for (char c : size)
	{
		value = value * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
		if (value > kMaxBodySize - m_chunkedTotal)
		{
			RefuseRequest("OnRawData", 0,
				"http chunked body exceeds builtin limit of (" +
					NetUtil::LongToString(static_cast<long>(kMaxBodySize)) + ")");
			return false;
		}
	}
	m_chunkedTotal += value;
	m_chunkRemaining = static_cast<std::uint32_t>(value);
	return true;
}

// ---- response head ----

void WebSocket::SetResponseHeader(const std::string& name, const std::string& value)
{
	m_responseHeaders[name] = value;
}

void WebSocket::SetResponseHeader(const std::string& name, const char* format, ...)
{
	va_list args;
	va_start(args, format);
	va_list again;
	va_copy(again, args);
	const int length = std::vsnprintf(nullptr, 0, format, args);
	va_end(args);
	std::string value;
	if (length > 0)
	{
		std::vector<char> text(static_cast<std::size_t>(length) + 1);
		std::vsnprintf(text.data(), text.size(), format, again);
		value.assign(text.data(), static_cast<std::size_t>(length));
	}
	va_end(again);
	SetResponseHeader(name, value);
}

void WebSocket::BuildResponseHead(std::string& out)
{
	out = m_version + " " + m_statusCode + " " + m_reasonPhrase + "\r\n";
	for (const auto& header : m_responseHeaders)
		out += header.first + ": " + header.second + "\r\n";
	out += "\r\n";
}

void WebSocket::SendResponseHead()
{
	std::string head;
	BuildResponseHead(head);
	Send(head, 0);
	if (m_transport == TransportWebSocket)
		SetLineMode(false);
}
