#pragma once

#include "sockets/Socket.h"

#include <cstdint>

// A connected byte stream: connecting and TLS-negotiating states with their
// time-outs, flush before close, connect retries, line mode and the record of
// the directions already shut down.
class StreamSocket : public Socket
{
public:
	explicit StreamSocket(ISocketHandler& handler);

	// Held descriptor, not connecting, not negotiating, no close request.
	bool Ready() override;

	virtual void SetLineMode(bool on);
	virtual int GetIpProtocol() = 0;

	// Arms the connect time-out while connecting.
	void SetConnecting(bool on);
	bool Connecting() const { return m_connecting; }
	int GetConnectTimeout() const { return m_connectTimeout; }
	// Arms the negotiate time-out; ignored while connecting.
	void SetNegotiating(bool on);
	bool IsNegotiating() const { return m_negotiating; }
	int GetNegotiateTimeout() const { return m_negotiateTimeout; }
	void SetFlushBeforeClose(bool on) { m_flushBeforeClose = on; }
	bool FlushBeforeClose() const { return m_flushBeforeClose; }
	int GetConnectionRetry() const { return m_connectionRetry; }
	int GetConnectionRetries() const { return m_connectionRetries; }
	void IncreaseConnectionRetries() { ++m_connectionRetries; }
	void ResetConnectionRetries() { m_connectionRetries = 0; }
	bool LineMode() const { return m_lineMode; }
	// The bits of SetShutdown and GetShutdown: the directions already shut
	// down.
	static constexpr int kShutdownNone = 0;
	static constexpr int kShutdownSend = 1;
	void SetShutdown(int directions) { m_shutdown = directions; }
	int GetShutdown() const { return m_shutdown; }

protected:
	bool m_connecting = false;
	int m_connectTimeout = 5;
	bool m_negotiating = false;
	int m_negotiateTimeout = 30;
	bool m_flushBeforeClose = true;
	// 0: no retry; -1: without end; n: at most n.
	int m_connectionRetry = 0;
	int m_connectionRetries = 0;
	bool m_lineMode = false;
	int m_shutdown = kShutdownNone;
};
