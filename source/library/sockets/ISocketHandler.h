#pragma once

#include "base/StdLog.h"
#include "platform/winsock.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class IMutex;
class Socket;
class SocketAddress;

// What sockets, listeners and threads see of the handler that owns them and
// runs their select loop.
class ISocketHandler
{
public:
	// The admitted sockets by descriptor, in ascending descriptor order.
	using SocketMap = std::map<SOCKET, Socket*>;
	// A parked client connection (PoolSocket.h).
	class PoolSocket;

	virtual ~ISocketHandler() = default;

	virtual ISocketHandler* NewHandler(IMutex& mutex, ISocketHandler& parent, StdLog* log) = 0;
	virtual ISocketHandler* NewHandler(StdLog* log) = 0;
	virtual bool HasParent() = 0;
	virtual ISocketHandler& GetParent() = 0;
	// The worker handler with the fewest sockets; throws Exception without
	// workers.
	virtual ISocketHandler& GetLeastLoadedWorker() = 0;
	virtual ISocketHandler& GetParentOrSelf() = 0;
	// Starts n (2 to 255) workers, each running a handler of its own, over
	// which a listener of this handler spreads the connections it accepts.
	virtual void StartWorkerThreads(int n) = 0;
	virtual bool HasWorkerThreads() = 0;
	// A datagram socket on 127.0.0.1 whose only use is to make a select()
	// of this handler return: Wakeup, callable from any thread without the
	// handler's mutex, sends it one byte. Wakeup without it does nothing.
	virtual void CreateWakeupSocket() = 0;
	virtual void Wakeup() = 0;
	virtual IMutex& GetMutex() = 0;
	virtual void SetLog(StdLog* log) = 0;
	virtual void Log(Socket* socket, const std::string& call, int code, const std::string& text, LogLevel level) = 0;

	// Queues the socket; it is watched from the next turn of the loop on.
	virtual void Add(Socket* socket) = 0;
	// Forgets a socket that is being destroyed.
	virtual void Remove(Socket* socket) = 0;
	virtual int SelectAndDispatch(timeval* timeout) = 0;
	virtual void AddToFdSets(Socket* socket, bool read, bool write) = 0;
	virtual void ModifyFdSets(Socket* socket, bool read, bool write) = 0;
	virtual void RemoveFromFdSets(Socket* socket) = 0;
	// One turn of the loop; the result is select()'s.
	virtual int Select(timeval* timeout) = 0;
	virtual int Select() = 0;
	virtual int Select(long sec, long usec) = 0;
	virtual bool HasSocketUid(int uid) = 0;
	virtual bool HasSocket(Socket* socket) = 0;
	// Admitted, queued and rejected sockets together.
	virtual std::size_t GetSocketCount() = 0;
	virtual std::size_t GetSocketLimit() = 0;
	virtual bool OkToAccept(Socket* listener) = 0;
	virtual SocketMap& GetSocketMap() = 0;
	virtual std::size_t GetMaxTcpLineSize() = 0;

	// A socket that raises a request tells the handler that one is waiting.
	virtual void SetCallOnConnectPending(bool on) = 0;
	virtual void SetDetachPending(bool on) = 0;
	virtual void SetTimeoutPending(bool on) = 0;
	virtual void SetRetryPending(bool on) = 0;
	virtual void SetClosePending(bool on) = 0;

	// Takes a parked connection of that type, protocol and address out of
	// the registry; the caller takes over its descriptor and deletes it.
	// Null when there is none.
	virtual PoolSocket* FindPooledConnection(int type, const std::string& protocol, SocketAddress& address) = 0;
	virtual void SetPoolEnabled(bool on) = 0;
	virtual bool IsPoolEnabled() = 0;

	// The SOCKS4 server that new client sockets go through; the address in
	// network byte order.
	virtual bool SetSocks4Host(const std::string& host) = 0;
	virtual void SetSocks4Host(std::uint32_t address) = 0;
	virtual void SetSocks4Port(std::uint16_t port) = 0;
	virtual void SetSocks4Userid(const std::string& userid) = 0;
	virtual void SetSocks4TryDirect(bool on) = 0;
	virtual std::uint32_t GetSocks4Host() = 0;
	virtual std::uint16_t GetSocks4Port() = 0;
	virtual const std::string& GetSocks4Userid() = 0;
	virtual bool GetSocks4TryDirect() = 0;

	// A handler that runs inside the thread of one detached socket.
	virtual void SetDetachedMode(bool on) = 0;
	virtual bool IsDetachedMode() = 0;
};
