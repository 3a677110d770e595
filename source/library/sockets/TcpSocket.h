#pragma once

#include "PKI/OpenSslPtr.h"
#include "sockets/OutputBlock.h"
#include "sockets/RingBuffer.h"
#include "sockets/StreamSocket.h"

#include <openssl/ssl.h>

#include <climits>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

// A byte count as the code of a log line, which is an int.
inline int LogCode(std::uint64_t n)
{
	return n > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// A TCP connection: input cut into lines for OnLine or handed whole to
// OnRawData, output written at once or queued in large blocks and flushed as
// the descriptor becomes writable.
class TcpSocket : public StreamSocket
{
public:
	// The most one read takes.
	static constexpr std::size_t kReadSize = 16400;
	// What a connection may queue for a peer that does not read.
	static constexpr std::uint64_t kDefaultOutputLimit = 16 * 1024 * 1024;

	explicit TcpSocket(ISocketHandler& handler);
	~TcpSocket() override;

	int Close() override;
	void SendBuf(const char* data, std::size_t length, int flags = 0) override;
	void Send(const std::string& data, int flags = 0) override;
	std::uint64_t GetBytesSent(bool clear = false) override;
	std::uint64_t GetBytesReceived(bool clear = false) override;
	void OnRead() override;
	void OnWrite() override;
	void OnException() override;
	void OnSocketCreated(int family, int type, int protocol, SOCKET s) override;
	void OnConnectTimeout() override;
	void OnSocks4Connect() override;
	void OnSocks4ConnectFailed() override;
	bool OnSocks4Read() override;

	// TLS (TcpSocketTls.cpp). The handler drives the handshake through
	// SSLNegotiate, one step per readable or writable event.
	void OnSSLAccept() override;
	void OnSSLConnect() override;
	bool SSLNegotiate() override;
	void OnSSLNegotiateTimeout() override;
	SSL_CTX* GetSslContext() override;
	SSL* GetSsl() override;
	// The pass-phrase callback of the server contexts: userdata is the
	// socket whose pass phrase is handed over.
	static int KeyPasswordCallback(char* buf, int size, int rwflag, void* userdata);
	// Sends close_notify on an established TLS connection that has not sent
	// it yet. False only while it waits for room in the send buffer.
	bool SendCloseNotify();

	// Also sets the bypass of the input ring buffer to the same value.
	void SetLineMode(bool on) override;
	int GetIpProtocol() override;

	virtual void OnRawData(const char* data, std::size_t n);
	// The output queue has drained.
	virtual void OnWriteComplete();
	virtual void InitSSLClient();
	virtual void InitSSLServer();
	// A flush took the queue from above the output limit to below it.
	virtual void OnOutputBelowLimit();

	void SetBypassInputBuffer(bool on) { m_bypassInputBuffer = on; }
	// The peer has sent its last byte (end of file or close_notify).
	bool InputEnded() const { return m_inputEnded; }
	// While paused the descriptor is not read: what the peer sends waits in
	// the system's buffers, and a peer that keeps sending is held back.
	void SetInputPaused(bool paused);
	// Bytes not yet sent.
	std::uint64_t GetOutputLength() const { return m_outputLength; }
	// A send that would queue more than the limit closes the connection at
	// once; the queue never holds more. 0: no limit.
	void SetOutputLimit(std::uint64_t limit) { m_outputLimit = limit; }
	std::uint64_t GetOutputLimit() const { return m_outputLimit; }

	bool ReconnectEnabled() const { return m_reconnectEnabled; }
	void SetReconnect(bool on) { m_reconnecting = on; }
	bool IsReconnect() const { return m_reconnecting; }
	// Starts a connect to the address, through the SOCKS4 server when one is
	// set and skipSocks is false, or takes over a pooled connection to it.
	// True when connected or connecting; false when the socket is given up.
	// A bind address with port 0 is not bound.
	bool Open(SocketAddress& address, SocketAddress& bindAddress, bool skipSocks);
	bool Open(SocketAddress& address, bool skipSocks = false);
	// False, with the close requested, when the host does not resolve.
	bool Open(const std::string& host, std::uint16_t port);

protected:
	// A connected client socket whose connection ends connects again.
	void SetReconnectEnabled(bool on) { m_reconnectEnabled = on; }

	// Server form: the named process-wide context, holding the certificate,
	// key and chain of one PEM file whose key is encrypted under password.
	void InitializeContext(const std::string& context, const std::string& keyfile, const std::string& password,
		const SSL_METHOD* method);
	// Client form: the named client context, no files.
	void InitializeContext(const std::string& context, const SSL_METHOD* method);
	// Client context with a certificate and key given as objects.
	void InitializeContext(const std::string& context, X509* certificate, EVP_PKEY* key, const SSL_METHOD* method);

	// Cuts one read into lines and raw data. buf holds n bytes and room for
	// one more. A subclass may keep a read for later instead and hand it on
	// with this version.
	virtual void OnRead(char* buf, std::size_t n);

private:
	void DeliverInput(char* buf, std::size_t n);
	// Appends a piece of the current line; false, with the close requested,
	// when the line grows too long.
	bool AppendToLine(const char* segment);
	// A read or write failed, or a TLS write found the connection closed.
	void Disconnected(DisconnectReason reason, int code);
	// The peer has sent its last byte: kDisconnectEndOfInput or
	// kDisconnectCloseNotify.
	void EndOfInput(DisconnectReason reason);
	// Bytes the descriptor took (0 when none).
	std::size_t WriteOnce(const char* data, std::size_t n);
	// Queues the bytes; false, with the connection closing and the bytes
	// dropped, when they would pass the output limit.
	bool AppendOutput(const char* data, std::size_t n);
	// TLS is on but there is no TLS connection to read or write through.
	void NoSslConnection(const char* call);
	void FlushOutput();
	void WatchOutput();
	// The descriptor of a connect in progress became writable.
	void CompleteConnect();
	// The retry limit allows one more attempt.
	bool RetryAllowed() const;
	// The connect failed and no retry follows.
	void GiveUpConnect();
	// Consumes the SOCKS4 server's reply from the input ring buffer, then
	// hands what followed it to the reader.
	void ReadSocks4Reply();
	// One read or write through the TLS connection: the bytes read or taken,
	// 0 when none (the event is over).
	int ReadSsl(char* buf);
	std::size_t WriteSsl(const char* data, std::size_t n);
	// SSL_new and its socket BIO; false, with the close requested, on failure.
	bool StartSsl();
	void FreeSsl();

	RingBuffer m_ibuf;
	bool m_bypassInputBuffer = false;
	bool m_inputEnded = false;
	bool m_inputPaused = false;
	std::uint64_t m_bytesSent = 0;
	std::uint64_t m_bytesReceived = 0;
	bool m_lineEndPairPending = false;
	char m_lastLineEnd = 0;
	std::unique_ptr<char[]> m_line;
	std::uint32_t m_lineLength = 0;
	std::unique_ptr<char[]> m_readBuffer;
	std::list<std::unique_ptr<OutputBlock>> m_output;
	OutputBlock* m_lastBlock = nullptr;
	std::uint64_t m_outputLimit = kDefaultOutputLimit;
	std::uint64_t m_outputLength = 0;
	int m_sslRepeatLength = 0;
	SSL_CTX* m_sslContext = nullptr;
	SslPtr m_ssl;
	std::string m_password;
	int m_socks4State = 0;
	char m_socks4Reply[8] = {};
	// The SOCKS4 server could not be reached: the next Open goes direct.
	bool m_socks4Bypass = false;
	bool m_reconnectEnabled = false;
	bool m_reconnecting = false;
};
