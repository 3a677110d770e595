#pragma once

#include "base/NoCaseLess.h"
#include "sockets/TcpSocket.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// The kind of conversation on an agent connection.
enum Transport : std::int32_t
{
	TransportHttp = 0,
	TransportWebSocket = 1,
	TransportPolling = 2,
};

// The server side of one accepted agent connection. It reads HTTP requests
// (request line and headers in line mode, a body announced by
// "content-length" or sent chunked in raw mode) and hands every piece to its
// subclass through the hooks below; it keeps the response's status, reason and
// headers and writes the response head. A request with the WebSocket handshake
// headers is upgraded, and from then on the connection reads and writes
// RFC 6455 frames.
//
// Limits that keep a hostile peer from growing memory: a request body (also a
// chunked one) of at most kMaxBodySize bytes, and a WebSocket message (one
// frame or its fragments together) of at most kMaxMessageSize bytes; past
// them the connection is closed.
class WebSocket : public TcpSocket
{
public:
	static constexpr std::size_t kMaxBodySize = 1 << 20;
	static constexpr std::size_t kMaxMessageSize = 1 << 20;
	// Header lines a request may have.
	static constexpr int kHeaderLimit = 200;
	// Deadlines that keep silent, slow or idle peers from filling the
	// handler's socket limit and locking the page out: a request must arrive
	// whole (head and body) this many seconds after its first byte (the
	// first one after the accept, TLS handshake included), and a connection
	// that holds no request and has sent nothing for as long after its last
	// request is closed. A held request (a long poll) is never cut; an
	// upgraded connection has no deadline.
	static constexpr int kRequestSeconds = 60;
	// How long a connection that sent its close frame waits for the peer to
	// end its side.
	static constexpr int kLingerSeconds = 5;
	// What is kept of the bytes that arrive behind a held request before
	// the connection is no longer read.
	static constexpr std::size_t kMaxHeldInput = kMaxBodySize;

	explicit WebSocket(ISocketHandler& handler);
	~WebSocket() override;

	// A refusal: the status line and, with closeHeader, "Connection: close";
	// no body; the connection closes once the head is out.
	struct Refusal
	{
		const char* code;
		const char* reason;
		bool closeHeader;
	};
	// A second page, or a request that is not the connected page's.
	static constexpr Refusal kForbidden{ "403", "Forbidden", true };
	// An upgrade request that is not a page's own WebSocket.
	static constexpr Refusal kBadUpgrade{ "400", "Bad Request", true };

	void OnRead() override;
	void OnLine(const std::string& line) override;
	void OnRawData(const char* data, std::size_t n) override;
	// Arm the first-head time-out with what is left of the time since the
	// accept: at the accept, and on TLS connections at each step of the
	// handshake (a handshake that has not begun has no time-out of its own).
	void OnAccept() override;
	void OnSSLAccept() override;
	bool SSLNegotiate() override;
	void OnWriteComplete() override;
	void OnTimeout() override;

	// After the request line has been taken apart.
	virtual void OnFirst() = 0;
	// For each header line, with the name as sent.
	virtual void OnRequestHeader(const std::string& name, const std::string& value) = 0;
	// At the blank line that ends the head.
	virtual void OnRequestHeadersEnd() = 0;
	// For each piece of the body, without the chunked framing.
	virtual void OnRequestBody(const char* data, std::size_t length) = 0;
	// The request and its body are complete.
	virtual void OnRequestComplete();
	// One whole WebSocket message, text or binary.
	virtual void OnMessage(std::string message);
	// The page closed the WebSocket connection.
	virtual void OnCloseFrame();
	// The upgrade answer has been sent.
	virtual void OnSessionConnected();
	virtual std::string ProductToken();
	// After an answer: no response headers. The reader makes itself ready
	// for the next request when a request completes, so an answer that goes
	// out while the next request is being read does not disturb it. A
	// subclass's version calls this one first.
	virtual void ResetRequest();
	// Sends the refusal's head and closes the connection.
	void Refuse(const Refusal& refusal);

	const std::string& GetMethod() const { return m_method; }
	const std::string& GetPath() const { return m_path; }
	const std::string& GetQuery() const { return m_query; }
	Transport GetTransport() const { return m_transport; }
	void SetTransport(Transport transport) { m_transport = transport; }

	void SetStatusCode(const std::string& code) { m_statusCode = code; }
	void SetReasonPhrase(const std::string& phrase) { m_reasonPhrase = phrase; }
	// A name already there in another case keeps its first spelling and
	// takes the new value.
	void SetResponseHeader(const std::string& name, const std::string& value);
	void SetResponseHeader(const std::string& name, const char* format, ...) __attribute__((format(printf, 3, 4)));
	// Status line, the headers in case-insensitive name order, blank line.
	void BuildResponseHead(std::string& out);
	// Sends the head; on a WebSocket connection input then turns to frames.
	void SendResponseHead();

	// One unmasked text frame; an empty text sends nothing.
	void SendTextFrame(std::string text);
	// One unmasked pong frame, also for an empty payload.
	void SendPongFrame(std::string payload);

	// The value of a "Sec-WebSocket-Accept" header for the handshake key.
	static std::string AcceptKey(const std::string& key);

protected:
	bool IsUpgraded() const { return m_upgraded; }
	void SetRequestSeconds(int seconds) { m_requestSeconds = seconds; }
	int RequestSeconds() const { return m_requestSeconds; }
	// The completed request is held for a later answer (no deadline), or
	// its answer went out (the idle deadline starts).
	void SetRequestHeld(bool held);
	bool RequestHeld() const { return m_requestHeld; }
	// The connection's deadline counts again from now: time the agent spent
	// on its peer's own work does not count against it. A held request
	// keeps having none.
	void RestartDeadline();
	// Until ReleaseInput, nothing after the completed request is served, so
	// that its answer goes out first. What arrives meanwhile is kept, up to
	// kMaxHeldInput, and the connection is still read: a peer that closes or
	// resets it is seen at once. Past that limit it is no longer read.
	void HoldInput();
	// Serves on, beginning with the bytes that waited.
	void ReleaseInput();
	// Keeps the read while input is held.
	void OnRead(char* buf, std::size_t n) override;
	const std::string& GetVersion() const { return m_version; }

private:
	void OnRequestLine(const std::string& line);
	void OnHeaderLine(const std::string& line);
	void OnHeadEnd();
	// Counts a header or trailer line; false, with the close requested, past
	// the limit of a request's lines.
	bool CountHeaderLine(const std::string& call);
	// Takes the value of a "content-length" header; false, with the close
	// requested, when it is not a length within the limit.
	bool TakeContentLength(const std::string& value);
	void ReadBody(const char* data, std::size_t n);
	void ReadChunked(const char* data, std::size_t n);
	// Collects a chunk-size or trailer line; true once it ends in CR LF.
	bool CollectChunkLine(const char* data, std::size_t n, std::size_t& i);
	bool TakeChunkSize();
	// Hands the complete request on; the idle deadline starts.
	void CompleteRequest();
	// Back to reading a request head on a keep-alive connection.
	void ExpectNextRequest();
	// The same, reading the bytes that followed the body as the start of
	// the next request.
	void NextRequest(const char* rest, std::size_t n);
	// Hands received bytes to the line reader as if just read.
	void ReadOn(const char* bytes, std::size_t n);
	// Keeps bytes that arrived behind a held request.
	void KeepInput(const char* bytes, std::size_t n);
	// A request has begun: it must be whole within the deadline.
	void NoteRequestStart();
	void ArmFirstHeadTimeout();
	// Closes the connection because the request is refused.
	void RefuseRequest(const std::string& call, int code, const std::string& text);
	// Answers the handshake; false when a page is already connected.
	bool Upgrade();

	void ReadFrames(const char* data, std::size_t n);
	// Handles one complete frame; false when reading must stop.
	bool OnFrame(bool fin, int opcode, const unsigned char* payload, std::size_t length, const unsigned char* mask);
	void SendFrame(unsigned char first, const char* payload, std::size_t length);
	// Closes the WebSocket connection with a close frame carrying the status.
	void FailConnection(std::uint16_t status, const std::string& text);
	void SendCloseFrame(const unsigned char* payload, std::size_t length);
	// After a close frame of ours: the peer's bytes are read and dropped
	// until it ends its side, then the connection closes.
	void LingerAfterClose();
	// Shuts the sending side down once the close frame is out.
	void EndSending();

	bool m_firstLine = true;
	bool m_head = true;
	Transport m_transport = TransportHttp;
	std::string m_method;
	std::string m_target;
	std::string m_path;
	std::string m_query;
	std::string m_version = "HTTP/1.0";
	std::string m_statusCode;
	std::string m_reasonPhrase;
	std::string m_acceptKey;
	std::string m_webSocketVersion;
	// Received bytes that do not yet form a whole frame.
	std::string m_frameInput;
	// The data message being assembled from its fragments.
	std::string m_message;
	bool m_fragmented = false;
	bool m_closing = false;
	// No frame leaves after the close frame; replies come from other threads.
	std::atomic<bool> m_closeFrameSent{false};
	bool m_lingering = false;
	bool m_upgraded = false;
	std::map<std::string, std::string, NoCaseLess> m_responseHeaders;
	// Body bytes still expected.
	std::int32_t m_contentLength = 0;
	bool m_http11 = false;
	bool m_keepAlive = false;
	bool m_chunked = false;
	std::uint32_t m_chunkRemaining = 0;
	// Where the chunked-body reader stands.
	enum ChunkState
	{
		ChunkSizeLine,
		ChunkData,
		// The CR LF after a chunk's data.
		ChunkDataCr,
		ChunkDataLf,
		// The trailer fields and the empty line, after the last chunk.
		ChunkTrailer,
	};
	ChunkState m_chunkState = ChunkSizeLine;
	std::string m_chunkLine;
	// Body bytes of the current chunked request.
	std::size_t m_chunkedTotal = 0;
	int m_headerCount = 0;
	int m_headerLimit = kHeaderLimit;
	// No request has been completed yet: the deadline counts from the accept.
	bool m_awaitingFirstHead = true;
	// A keep-alive connection waits for its next request.
	bool m_betweenRequests = false;
	int m_requestSeconds = kRequestSeconds;
	bool m_requestHeld = false;
	// Input is held; the bytes that came after the held request.
	bool m_inputHeld = false;
	std::string m_heldInput;
	std::chrono::steady_clock::time_point m_createdAt = std::chrono::steady_clock::now();
};
