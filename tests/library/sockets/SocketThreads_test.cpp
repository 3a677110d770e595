#include "SocketTestSupport.h"

#include "base/MutexLock.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <optional>
#include <thread>

namespace
{

std::atomic<int> g_echoDeleted{0};
std::map<ISocketHandler*, int> g_acceptedBy; // written on the listener's thread only

// Counts where it was accepted and its deletion.
class EchoSocket : public LineEcho
{
public:
	using LineEcho::LineEcho;
	~EchoSocket() override { ++g_echoDeleted; }
	void OnAccept() override { ++g_acceptedBy[&Handler()]; }
};

// Reads one line from a blocking descriptor ("" at end of file).
std::string ReadLine(int fd)
{
	std::string line;
	char c;
	while (::recv(fd, &c, 1, 0) == 1 && c != '\n')
		line += c;
	return line;
}

} // namespace

TEST(WorkerThreads, StartOnlyOnceAndOnlyInRange)
{
	SocketHandler handler;
	EXPECT_EQ("SocketHandler is not multithreaded", ThrownMessage([&] { handler.GetLeastLoadedWorker(); }));
	handler.StartWorkerThreads(1);
	handler.StartWorkerThreads(256);
	EXPECT_FALSE(handler.HasWorkerThreads());
	handler.StartWorkerThreads(3);
	EXPECT_TRUE(handler.HasWorkerThreads());

	// Each worker holds its wake-up socket; the first of equals is chosen,
	// and a worker given two more sockets is passed over.
	ISocketHandler& first = handler.GetLeastLoadedWorker();
	SocketPair a, b;
	int deleted = 0;
	{
		MutexLock lock(first.GetMutex());
		EXPECT_EQ(1u, first.GetSocketCount());
		EXPECT_TRUE(first.HasParent());
		EXPECT_EQ(&handler, &first.GetParent());
		first.Add(Attached(first, a.fd[0], &deleted));
		first.Add(Attached(first, b.fd[0], &deleted));
	}
	ISocketHandler& second = handler.GetLeastLoadedWorker();
	EXPECT_NE(&first, &second);
	handler.StartWorkerThreads(3); // a second call starts nothing
	EXPECT_EQ(&second, &handler.GetLeastLoadedWorker());
}

TEST(WorkerThreads, TwoHundredConnectionsSpreadEvenlyAndAllEndWithTheHandler)
{
	g_echoDeleted = 0;
	g_acceptedBy.clear();
	auto* handler = new SocketHandler();
	handler->StartWorkerThreads(4);
	auto listener = std::make_unique<ListenSocket<EchoSocket>>(*handler);
	ASSERT_EQ(0, listener->Bind(0, 50));
	handler->Add(listener.get());

	constexpr int kConnections = 200;
	std::vector<int> clients;
	std::atomic<bool> done{false};
	std::atomic<int> echoed{0};
	std::thread peers([&] {
		for (int i = 0; i < kConnections; ++i)
		{
			const int fd = ConnectLoopback(listener->GetPort());
			if (fd < 0)
				break;
			clients.push_back(fd);
			const std::string text = "hello " + std::to_string(i);
			::send(fd, (text + "\n").data(), text.size() + 1, 0);
			if (ReadLine(fd) == text)
				++echoed;
		}
		done = true;
	});
	TurnUntil(*handler, [&] { return done.load(); }, 120);
	peers.join();
	// Each exchange waits for its worker to admit the socket: without the
	// wake-up that would be a one-second select each, far beyond the bound.
	EXPECT_EQ(kConnections, echoed.load());

	// Least loaded first, every connection still open: 50 each.
	ASSERT_EQ(4u, g_acceptedBy.size());
	for (const auto& [worker, count] : g_acceptedBy)
	{
		EXPECT_EQ(kConnections / 4, count);
		MutexLock lock(worker->GetMutex());
		EXPECT_EQ(static_cast<std::size_t>(kConnections / 4 + 1), worker->GetSocketCount());
	}

	// The handler's end stops the workers, whose handlers close and delete
	// every socket they hold before the handler is gone.
	listener.reset(); // deletes its prototype socket
	g_echoDeleted = 0;
	delete handler;
	EXPECT_EQ(kConnections, g_echoDeleted.load());
	for (int fd : clients)
	{
		char x;
		EXPECT_EQ(0, ::recv(fd, &x, 1, MSG_DONTWAIT));
		::close(fd);
	}
}

// Idle workers wait in selects of a second each: the handler's end wakes
// them rather than waiting their turns out.
TEST(WorkerThreads, IdleWorkersAreWokenToStop)
{
	auto handler = std::make_unique<SocketHandler>();
	handler->StartWorkerThreads(4);
	// Every worker is well inside its first select by now.
	std::this_thread::sleep_for(std::chrono::milliseconds(100));
	const auto start = std::chrono::steady_clock::now();
	handler.reset();
	EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

namespace
{

// Serves lines with a reply that names the handler it runs in.
class DetachingSocket : public TcpSocket
{
public:
	explicit DetachingSocket(ISocketHandler& handler, std::atomic<int>& deleted)
		: TcpSocket(handler)
		, m_deleted(deleted)
	{
		SetLineMode(true);
	}
	~DetachingSocket() override { ++m_deleted; }
	void OnDetached() override
	{
		detachedIn = &Handler();
		detachedOn = std::this_thread::get_id();
	}
	void OnLine(const std::string& line) override
	{
		Send(line + (std::this_thread::get_id() == detachedOn ? " from its thread\n" : " from the loop\n"));
	}

	std::atomic<ISocketHandler*> detachedIn{nullptr};
	std::thread::id detachedOn;

private:
	std::atomic<int>& m_deleted;
};

} // namespace

// Also when its thread finds no descriptor left for its wake-up socket: the
// thread serves the socket without one.
TEST(DetachedSocket, KeepsServingInItsOwnThreadAndIsDeletedWhenItCloses)
{
	for (bool outOfDescriptors : {false, true})
	{
		SCOPED_TRACE(outOfDescriptors ? "out of descriptors" : "descriptors to spare");
		SocketHandler handler;
		std::atomic<int> deleted{0};
		SocketPair pair;
		auto* socket = new DetachingSocket(handler, deleted);
		socket->Attach(pair.fd[0]);
		socket->SetConnected(true);

		// Only a socket its handler owns may leave it.
		EXPECT_FALSE(socket->Detach());
		socket->SetOwnedByHandler(true);
		handler.Add(socket);
		pair.Send("one\n");
		handler.Select(1, 0);
		EXPECT_EQ("one from the loop", ReadLine(pair.fd[1]));

		// The sanitizers' type check needs descriptors of its own the first
		// time it meets a type: let it meet the wake-up socket and the
		// exception of its failure beforehand.
		SocketHandler().CreateWakeupSocket();
		ThrownMessage([] { throw Exception("out of descriptors"); });
		std::optional<DescriptorsTaken> taken;
		if (outOfDescriptors)
			taken.emplace(pair.fd[1]);
		EXPECT_TRUE(socket->Detach());
		EXPECT_FALSE(socket->Detach());
		handler.Select(1, 0);
		EXPECT_EQ(0u, handler.GetSocketCount());
		ASSERT_TRUE(TurnUntil(handler, [&] { return socket->detachedIn != nullptr; }, 10));
		EXPECT_NE(&handler, socket->detachedIn.load());
		EXPECT_TRUE(socket->IsDetached());

		pair.Send("two\n");
		EXPECT_EQ("two from its thread", ReadLine(pair.fd[1]));
		EXPECT_EQ(0, deleted.load());
		taken.reset();
		pair.ClosePeer();
		for (int i = 0; i < 100 && deleted == 0; ++i)
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
		EXPECT_EQ(1, deleted.load());
		// The thread ends within its next half-second turn and deletes itself
		// with its handler (the leak checker of the sanitizer build sees it).
		std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	}
}
