#include "sockets/TcpSocket.h"

#include "sockets/ISocketHandler.h"
#include "sockets/WinsockInit.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace
{

bool IsLineEnd(char c)
{
	return c == '\r' || c == '\n';
}

} // namespace

TcpSocket::TcpSocket(ISocketHandler& handler)
	: StreamSocket(handler)
	, m_ibuf(kReadSize)
	, m_line(new char[handler.GetMaxTcpLineSize()])
	, m_readBuffer(new char[kReadSize + 1]())
{
}

TcpSocket::~TcpSocket()
{
	FreeSsl();
}

std::uint64_t TcpSocket::GetBytesSent(bool clear)
{
	const std::uint64_t n = m_bytesSent;
	if (clear)
		m_bytesSent = 0;
	return n;
}

std::uint64_t TcpSocket::GetBytesReceived(bool clear)
{
	const std::uint64_t n = m_bytesReceived;
	if (clear)
		m_bytesReceived = 0;
	return n;
}

void TcpSocket::OnSocketCreated(int, int, int, SOCKET)
{
	SetReuseAddress(true);
	SetKeepAlive(true);
}

void TcpSocket::SetLineMode(bool on)
{
	StreamSocket::SetLineMode(on);
	// A line reader needs no copy of its input. Leaving line mode keeps the
	// bypass as it is: raw data (bodies, frames) must not start filling a
	// buffer that nothing reads.
	if (on)
		SetBypassInputBuffer(true);
}

int TcpSocket::GetIpProtocol()
{
	return IPPROTO_TCP;
}

void TcpSocket::OnRawData(const char*, std::size_t)
{
}

void TcpSocket::OnWriteComplete()
{
}

void TcpSocket::OnOutputBelowLimit()
{
}

void TcpSocket::Disconnected(DisconnectReason reason, int code)
{
	OnDisconnect();
	OnDisconnect(reason, code);
	SetCloseAndDelete(true);
	SetFlushBeforeClose(false);
	SetConnectionLost();
}

// ---- input ----

void TcpSocket::EndOfInput(DisconnectReason reason)
{
	// The peer has stopped sending, but may still be reading (a half-close
	// after its request): what is queued for it still goes out under the
	// graceful close. The descriptor stays readable at end of file, so it
	// is no longer watched for reading.
	m_inputEnded = true;
	OnDisconnect();
	OnDisconnect(reason, 0);
	// A client that reconnects does so at once, without a graceful close.
	if (ReconnectEnabled())
		SetFlushBeforeClose(false);
	SetCloseAndDelete(true);
	WatchOutput();
}

void TcpSocket::OnRead()
{
	char* buf = m_readBuffer.get();
	std::memset(buf, 0, kReadSize + 1);
	int n;
	const char* call = "OnRead";
	if (!IsSSL())
	{
		n = winsock::recv(GetSocket(), buf, static_cast<int>(kReadSize), 0);
		if (n == SOCKET_ERROR)
		{
			const int err = WSAGetLastError();
			// select() may report a descriptor readable that has nothing to
			// read after all: not an error.
			if (err == WSAEWOULDBLOCK)
				return;
			Log("read", err, WinsockErrorText(err), LOG_LEVEL_FATAL);
			Disconnected(kDisconnectReadFailed, err);
			return;
		}
		if (n == 0)
		{
			EndOfInput(kDisconnectEndOfInput);
			return;
		}
		if (n < 1 || n > static_cast<int>(kReadSize))
			Log("OnRead", n, "abnormal value from recv", LOG_LEVEL_ERROR);
	}
	else
	{
		call = "OnRead(ssl)";
		n = ReadSsl(buf);
		if (n <= 0)
			return;
	}
	if (n >= 1 && n <= static_cast<int>(kReadSize))
	{
		m_bytesReceived += static_cast<std::uint64_t>(n);
		// The SOCKS4 server's reply is read from the ring buffer, in line
		// mode too.
		if ((!m_bypassInputBuffer || IsSocks4()) && !CloseAndDelete() &&
			!m_ibuf.Write(buf, static_cast<std::size_t>(n)))
			Log(call, 0, "ibuf overflow", LOG_LEVEL_WARNING);
	}
	OnRead(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
	std::memset(buf, 0, kReadSize + 1);
}

void TcpSocket::OnRead(char* buf, std::size_t n)
{
	// After a close request (also one raised by an over-long line) the
	// owner hears nothing more: the bytes are read and dropped until the
	// close, so the descriptor does not stay readable.
	if (IsSocks4())
		ReadSocks4Reply();
	else if (n != 0 && n <= kReadSize && !CloseAndDelete())
		DeliverInput(buf, n);
}

void TcpSocket::DeliverInput(char* buf, std::size_t n)
{
	if (!LineMode())
	{
		// Line mode was left at a line end that ended the previous read:
		// the other half of its CR LF or LF CR pair is not data.
		std::size_t skip = 0;
		if (m_lineEndPairPending && IsLineEnd(buf[0]) && buf[0] != m_lastLineEnd)
			skip = 1;
		m_lineEndPairPending = false;
		if (skip < n)
			OnRawData(buf + skip, n - skip);
		return;
	}
	buf[n] = 0;
	std::size_t i = 0;
	if (m_lineEndPairPending)
	{
		// The previous read ended a line with CR or LF; this read may start
		// with the other half of the pair.
		if (IsLineEnd(buf[0]) && buf[0] != m_lastLineEnd)
			i = 1;
		m_lineEndPairPending = false;
	}
	std::size_t start = i;
	while (i < n && LineMode())
	{
		if (!IsLineEnd(buf[i]))
		{
			++i;
			continue;
		}
		const char end = buf[i];
		buf[i] = 0;
		if (!AppendToLine(buf + start))
			return;
		const std::string line(m_line.get(), m_lineLength);
		m_lineLength = 0;
		OnLine(line);
		++i;
		m_lastLineEnd = end;
		if (i < n)
		{
			if (IsLineEnd(buf[i]) && buf[i] != end)
				++i;
		}
		else
		{
			m_lineEndPairPending = true;
		}
		start = i;
		if (CloseAndDelete())
			return;
	}
	if (!LineMode())
	{
		if (i < n)
			OnRawData(buf + i, n - i);
		return;
	}
	AppendToLine(buf + start);
}

bool TcpSocket::AppendToLine(const char* segment)
{
	// A NUL byte ends the segment.
	const std::size_t len = std::strlen(segment);
	if (len == 0)
		return true;
	if (m_lineLength + len >= Handler().GetMaxTcpLineSize())
	{
		Log("TcpSocket::OnRead", static_cast<int>(m_lineLength + len), "maximum tcp_line_size exceeded, connection closed",
			LOG_LEVEL_FATAL);
		SetCloseAndDelete(true);
		return false;
	}
	std::memcpy(m_line.get() + m_lineLength, segment, len);
	m_lineLength += static_cast<std::uint32_t>(len);
	return true;
}

// ---- output ----

std::size_t TcpSocket::WriteOnce(const char* data, std::size_t n)
{
	if (IsSSL())
		return WriteSsl(data, n);
	const int r = winsock::send(GetSocket(), data, static_cast<int>(std::min<std::size_t>(n, INT_MAX)), 0);
	if (r == SOCKET_ERROR)
	{
		const int err = WSAGetLastError();
		if (err != WSAEWOULDBLOCK)
		{
			Log("send", err, WinsockErrorText(err), LOG_LEVEL_FATAL);
			Disconnected(kDisconnectSendFailed, err);
		}
		return 0;
	}
	if (r <= 0)
		return 0;
	m_bytesSent += static_cast<std::uint64_t>(r);
	return static_cast<std::size_t>(r);
}

void TcpSocket::NoSslConnection(const char* call)
{
	// Told once: the events up to the close find the same.
	if (!CloseAndDelete())
		Log(call, 0, "SSL is NULL; check InitSSLServer/InitSSLClient", LOG_LEVEL_ERROR);
	SetCloseAndDelete(true);
	SetFlushBeforeClose(false);
}

bool TcpSocket::AppendOutput(const char* data, std::size_t n)
{
	if (m_outputLimit != 0 && n > m_outputLimit - std::min(m_outputLength, m_outputLimit))
	{
		// A peer that does not read must not make the queue grow without
		// bound: such a connection is given up.
		Log("SendBuf", LogCode(m_outputLength + n), "output limit exceeded, connection closed", LOG_LEVEL_ERROR);
		SetCloseAndDelete(true);
		SetFlushBeforeClose(false);
		return false;
	}
	m_outputLength += n;
	while (n > 0)
	{
		if (m_lastBlock == nullptr || m_lastBlock->Space() == 0)
		{
			m_output.push_back(std::make_unique<OutputBlock>());
			m_lastBlock = m_output.back().get();
		}
		const std::uint32_t part = static_cast<std::uint32_t>(std::min<std::size_t>(n, m_lastBlock->Space()));
		m_lastBlock->Add(data, part);
		data += part;
		n -= part;
	}
	return true;
}

void TcpSocket::FlushOutput()
{
	const std::uint64_t before = m_outputLimit != 0 ? m_outputLength : 0;
	if (m_output.empty())
	{
		Log("OnWrite", LogCode(m_outputLength), "Empty output buffer in OnWrite", LOG_LEVEL_ERROR);
	}
	else
	{
		for (;;)
		{
			OutputBlock& front = *m_output.front();
			const std::size_t r = WriteOnce(front.Buf(), front.Length());
			if (r == 0)
				break;
			m_outputLength -= r;
			if (front.Remove(static_cast<std::uint32_t>(r)) != 0)
				break;
			m_output.pop_front();
			if (m_output.empty())
			{
				m_lastBlock = nullptr;
				OnWriteComplete();
				break;
			}
		}
	}
	if (m_outputLimit != 0 && before > m_outputLimit && m_outputLength < m_outputLimit)
		OnOutputBelowLimit();
	WatchOutput();
}

void TcpSocket::WatchOutput()
{
	Handler().ModifyFdSets(this, !m_inputEnded && !m_inputPaused, !m_output.empty());
}

void TcpSocket::SetInputPaused(bool paused)
{
	m_inputPaused = paused;
	WatchOutput();
}

void TcpSocket::SendBuf(const char* data, std::size_t length, int)
{
	if (!Ready() && !Connecting())
	{
		Log("SendBuf", -1, "Attempt to write to a non-ready socket", LOG_LEVEL_WARNING);
		if (GetSocket() == INVALID_SOCKET)
			Log("SendBuf", 0, " * GetSocket() == INVALID_SOCKET", LOG_LEVEL_INFO);
		if (CloseAndDelete())
			Log("SendBuf", 0, " * CloseAndDelete()", LOG_LEVEL_INFO);
		return;
	}
	if (!IsConnected())
	{
		Log("SendBuf", -1, "Attempt to write to a non-connected socket, will be sent on connect", LOG_LEVEL_WARNING);
		AppendOutput(data, length);
		return;
	}
	if (m_lastBlock != nullptr)
	{
		// Behind what is queued, so bytes leave in the order of the calls.
		AppendOutput(data, length);
		return;
	}
	if (IsSSL())
	{
		// TLS writes always come from a block, so that a repeated write
		// finds the same bytes at the same place.
		if (AppendOutput(data, length))
			FlushOutput();
		return;
	}
	const std::size_t r = WriteOnce(data, length);
	if (r < length)
		AppendOutput(data + r, length - r);
	WatchOutput();
}

void TcpSocket::Send(const std::string& data, int flags)
{
	SendBuf(data.data(), data.size(), flags);
}

void TcpSocket::OnWrite()
{
	if (Connecting())
		CompleteConnect();
	else
		FlushOutput();
}

int TcpSocket::Close()
{
	if (GetSocket() == INVALID_SOCKET)
	{
		Log("Socket::Close", 0, "file descriptor invalid", LOG_LEVEL_WARNING);
		return 0;
	}
	SetNonblocking(true);
	// close_notify goes out before the TCP sending side is shut down.
	SendCloseNotify();
	if (!ConnectionLost() && IsConnected() && !(GetShutdown() & kShutdownSend))
	{
		if (winsock::shutdown(GetSocket(), SD_SEND) == SOCKET_ERROR)
			LogWinsockError("shutdown", LOG_LEVEL_ERROR);
	}
	if (!ConnectionLost())
	{
		char scratch[1000];
		const int n = winsock::recv(GetSocket(), scratch, sizeof(scratch), 0);
		if (n > 0)
			Log("read() after shutdown", n, "bytes read", LOG_LEVEL_WARNING);
	}
	FreeSsl();
	return Socket::Close();
}
