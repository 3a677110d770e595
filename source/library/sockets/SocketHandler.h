#pragma once

#include "base/IMutex.h"
#include "sockets/ISocketHandler.h"

#include <cstdint>
#include <list>
#include <mutex>

class SocketHandlerThread;
class UdpSocket;

// The select loop: owns the sockets of its thread, watches their descriptors
// and runs, on each call of Select, one turn: admit the sockets added since
// the last turn, one select(), the event calls of the ready sockets, the
// request passes (connect, detach, time-out, retry, close), then the deletion
// of finished sockets. At most 64 sockets are watched.
class SocketHandler : public ISocketHandler
{
public:
	explicit SocketHandler(StdLog* log = nullptr);
	// Mutex mode: the constructing thread holds the mutex from here on,
	// except while it waits in select().
	SocketHandler(IMutex& mutex, StdLog* log);
	SocketHandler(IMutex& mutex, ISocketHandler& parent, StdLog* log);
	~SocketHandler() override;
	SocketHandler(const SocketHandler&) = delete;
	SocketHandler& operator=(const SocketHandler&) = delete;

	ISocketHandler* NewHandler(IMutex& mutex, ISocketHandler& parent, StdLog* log) override;
	ISocketHandler* NewHandler(StdLog* log) override;
	bool HasParent() override;
	ISocketHandler& GetParent() override;
	ISocketHandler& GetLeastLoadedWorker() override;
	ISocketHandler& GetParentOrSelf() override;
	void StartWorkerThreads(int n) override;
	bool HasWorkerThreads() override;
	void CreateWakeupSocket() override;
	void Wakeup() override;
	IMutex& GetMutex() override;
	void SetLog(StdLog* log) override;
	void Log(Socket* socket, const std::string& call, int code, const std::string& text, LogLevel level) override;

	void Add(Socket* socket) override;
	void Remove(Socket* socket) override;
	int SelectAndDispatch(timeval* timeout) override;
	void AddToFdSets(Socket* socket, bool read, bool write) override;
	void ModifyFdSets(Socket* socket, bool read, bool write) override;
	void RemoveFromFdSets(Socket* socket) override;
	int Select(timeval* timeout) override;
	int Select() override;
	int Select(long sec, long usec) override;
	bool HasSocketUid(int uid) override;
	bool HasSocket(Socket* socket) override;
	std::size_t GetSocketCount() override;
	std::size_t GetSocketLimit() override;
	bool OkToAccept(Socket* listener) override;
	SocketMap& GetSocketMap() override;
	std::size_t GetMaxTcpLineSize() override;

	void SetCallOnConnectPending(bool on) override;
	void SetDetachPending(bool on) override;
	void SetTimeoutPending(bool on) override;
	void SetRetryPending(bool on) override;
	void SetClosePending(bool on) override;

	PoolSocket* FindPooledConnection(int type, const std::string& protocol, SocketAddress& address) override;
	void SetPoolEnabled(bool on) override;
	bool IsPoolEnabled() override;

	bool SetSocks4Host(const std::string& host) override;
	void SetSocks4Host(std::uint32_t address) override;
	void SetSocks4Port(std::uint16_t port) override;
	void SetSocks4Userid(const std::string& userid) override;
	void SetSocks4TryDirect(bool on) override;
	std::uint32_t GetSocks4Host() override;
	std::uint16_t GetSocks4Port() override;
	const std::string& GetSocks4Userid() override;
	bool GetSocks4TryDirect() override;

	void SetDetachedMode(bool on) override;
	bool IsDetachedMode() override;

private:
	// Stands in for the mutex of a handler that runs without one.
	class NoMutex : public IMutex
	{
	public:
		void Lock() override {}
		void Unlock() override {}
	};

	class WakeupSocket;
	// Stops the workers and waits until each has destroyed its handler.
	void StopWorkerThreads();
	// The wake-up socket is going: Wakeup no longer reaches it.
	void ForgetWakeupSocket();

	void UpdateFdSets(Socket* socket, bool read, bool write);
	void QueueForDeletion(Socket* socket);
	void AdmitQueuedSockets();
	void PurgeBadDescriptors();
	void ProcessConnectCallbacks();
	void ProcessDetachRequests();
	void ProcessTimeouts(std::int64_t now);
	void RetryClientConnect();
	void ProcessCloseRequests();
	void DropStaleEntries();
	void DeleteReplacedSockets();
	void DeleteRejectedSockets();
	// The socket waits for admission or deletion.
	bool Waiting(Socket* socket) const;
	// Marks a socket that no container holds any more as let go of.
	void LetGo(Socket* socket);
	// The handler deletes only the sockets it owns that belong to its mode.
	bool Deletes(const Socket* socket) const;
	// A registry entry is served only while it still names the socket and
	// the socket is not queued for deletion.
	bool Serves(Socket* socket);
	// Calls visit(descriptor, socket) for each registry entry in ascending
	// order; entries erased meanwhile are skipped.
	template <typename Visit>
	void ForEachEntry(Visit visit);

	SocketMap m_sockets;
	std::list<Socket*> m_add;
	std::list<Socket*> m_rejected;
	// Owned older sockets whose descriptor a newer one took over; deleted at
	// the end of the turn.
	std::list<Socket*> m_replaced;
	StdLog* m_log;
	NoMutex m_noMutex;
	IMutex& m_mutex;
	bool m_mutexMode;
	ISocketHandler* m_parent;
	bool m_hasParent;
	// The threads delete themselves.
	std::list<SocketHandlerThread*> m_workers;
	// Guards the pointer against a Wakeup from another thread while the
	// socket goes.
	std::mutex m_wakeupGuard;
	UdpSocket* m_wakeupSocket = nullptr;
	SOCKET m_maxSocket = 0;
	winsock::fd_set m_rfds;
	winsock::fd_set m_wfds;
	winsock::fd_set m_efds;
	std::int64_t m_lastTimeoutCheck = 0;
	std::list<int> m_staleUids;
	bool m_callOnConnectPending = false;
	bool m_detachPending = false;
	bool m_timeoutPending = false;
	bool m_retryPending = false;
	bool m_closePending = false;
	std::uint32_t m_socks4Host = 0;
	std::uint16_t m_socks4Port = 0;
	std::string m_socks4Userid;
	bool m_socks4TryDirect = false;
	bool m_poolEnabled = false;
	bool m_detachedMode = false;
};
