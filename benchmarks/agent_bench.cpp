// The built agent against references measured in the same run:
// - an event round trip over a WebSocket (zimracert_getExternalDrive)
//   against a bare echo server of the ws package for Node, same client;
// - 1,000 such events sent at once over a WebSocket until all their replies
//   came, against the same burst to that echo server;
// - listing 1,000 certificates through the WebSocket against the store's
//   listing alone, in this process;
// - 1,000 events sent at once by a polling page (one POST) until all their
//   replies came, against the same 1,000 over the WebSocket;
// - start-up to listening (median of 20 starts);
// - resident memory of an idle agent and after 10,000 events.
// Each pair runs alternately within one iteration; "ratio" is ours over the
// reference.
#include "PKI/NpkiStore.h"
#include "agent/PollingServer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace
{

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kCertificates = 1000;
const char kDriveEvent[] = "[\"zimracert_getExternalDrive\",{}]";
const char kListEvent[] = "[\"zimracert_getCertification\",{}]";
// How long any answer of the agent may keep us waiting.
constexpr int kPatienceS = 10;

double Seconds(Clock::duration d)
{
	return std::chrono::duration<double>(d).count();
}

// Our mean time and the reference's per iteration, in the unit `scale` gives
// (1e3: ms, 1e6: us), and "ratio", ours over the reference.
void Report(benchmark::State& state, const std::string& ours, double oursS, const std::string& reference,
	double referenceS, double scale)
{
	state.counters[ours] = oursS / double(state.iterations()) * scale;
	state.counters[reference] = referenceS / double(state.iterations()) * scale;
	state.counters["ratio"] = oursS / referenceS;
}

// A folder of its own for the run: drives C: (1,000 certificates) and D:.
struct Workspace
{
	Workspace()
	{
		char pattern[] = "/tmp/zc_agent_bench_XXXXXX";
		root = mkdtemp(pattern) ? pattern : "/nonexistent";
		setenv("RANDFILE", (root + "/seed.rnd").c_str(), 1);
		setenv("ZIMRACERT_DRIVES", ("C=" + root + "/c;D=" + root + "/d").c_str(), 1);
		setenv("HOMEDRIVE", "C:", 1);
		setenv("ProgramFiles", "C:\\Program Files", 1);
		unsetenv("APPDATA");
		fs::create_directories(root + "/d");
		for (int i = 0; i < kCertificates; ++i)
		{
			const std::string folder = root + "/c/Program Files/NPKI/CA" + std::to_string(i % 5) + "/USER/cn=user"
				+ std::to_string(i);
			fs::create_directories(folder);
			fs::copy_file(ZC_TEST_DATA_DIR "/npki/korean.der", folder + "/signCert.der");
			fs::copy_file(ZC_TEST_DATA_DIR "/keys/signPri.seed.key", folder + "/signPri.key");
		}
	}
	~Workspace()
	{
		std::error_code ignored;
		fs::remove_all(root, ignored);
	}
	std::string root;
};

Workspace& TheWorkspace()
{
	static Workspace workspace;
	return workspace;
}

int FreePort()
{
	const int s = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address {};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
	socklen_t length = sizeof(address);
	getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
	close(s);
	return ntohs(address.sin_port);
}

int Connect(int port)
{
	const int s = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address {};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<std::uint16_t>(port));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
	{
		close(s);
		return -1;
	}
	const int on = 1;
	setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
	return s;
}

// A child process, killed when this goes.
struct Process
{
	explicit Process(const std::vector<std::string>& args)
	{
		pid = fork();
		if (pid == 0)
		{
			std::vector<char*> argv;
			for (const std::string& arg : args)
				argv.push_back(const_cast<char*>(arg.c_str()));
			argv.push_back(nullptr);
			freopen("/dev/null", "w", stdout);
			execv(argv[0], argv.data());
			_exit(127);
		}
	}
	~Process()
	{
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
	// Waits until the port takes connections.
	void WaitListening(int port) const
	{
		for (const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;)
		{
			const int s = Connect(port);
			if (s >= 0)
			{
				close(s);
				return;
			}
			std::this_thread::sleep_for(std::chrono::microseconds(200));
		}
		throw std::runtime_error("no listener");
	}
	long ResidentKb() const
	{
		std::ifstream status("/proc/" + std::to_string(pid) + "/status");
		for (std::string line; std::getline(status, line);)
			if (line.rfind("VmRSS:", 0) == 0)
				return std::atol(line.c_str() + 6);
		return -1;
	}
	pid_t pid;
};

std::unique_ptr<Process> StartAgent(int port)
{
	auto agent = std::make_unique<Process>(std::vector<std::string> { ZC_AGENT_PATH,
		"zimracert://start/?port=" + std::to_string(port) });
	agent->WaitListening(port);
	return agent;
}

std::unique_ptr<Process> StartEcho(int port)
{
	const std::string script = "const { WebSocketServer } = require('" ZC_SOURCE_DIR "/tests/peers/node_modules/ws');"
		"new WebSocketServer({ host: '127.0.0.1', port: " + std::to_string(port) + " })"
		".on('connection', (c) => c.on('message', (m, binary) => c.send(m, { binary })));";
	auto echo = std::make_unique<Process>(std::vector<std::string> { "/usr/bin/node", "-e", script });
	echo->WaitListening(port);
	return echo;
}

// A minimal blocking WebSocket client: masked text frames out, one frame in.
class Client
{
public:
	explicit Client(int port)
		: m_socket(Connect(port))
	{
		const timeval patience { kPatienceS, 0 };
		setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
		setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof(patience));
		const std::string request = "GET /tessark.io/?EIO=3&transport=websocket HTTP/1.1\r\nHost: 127.0.0.1\r\n"
			"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
			"Sec-WebSocket-Version: 13\r\n\r\n";
		SendAll(request);
		std::string head;
		char c;
		while (head.find("\r\n\r\n") == std::string::npos && recv(m_socket, &c, 1, 0) == 1)
			head += c;
		if (head.find(" 101 ") == std::string::npos)
			throw std::runtime_error("no upgrade: " + head);
	}
	~Client() { close(m_socket); }

	// A text frame; a close frame with opcode 0x88.
	void Send(const std::string& text, char opcode = '\x81')
	{
		std::string frame(1, opcode);
		if (text.size() < 126)
			frame += static_cast<char>(0x80 | text.size());
		else
		{
			frame += static_cast<char>(0x80 | 126);
			frame += static_cast<char>(text.size() >> 8);
			frame += static_cast<char>(text.size() & 0xff);
		}
		const char mask[4] = { 0x11, 0x22, 0x33, 0x44 };
		frame.append(mask, 4);
		for (size_t i = 0; i < text.size(); ++i)
			frame += static_cast<char>(text[i] ^ mask[i % 4]);
		SendAll(frame);
	}

	std::string Receive()
	{
		unsigned char head[2];
		ReadAll(head, 2);
		std::uint64_t length = head[1] & 0x7f;
		if (length >= 126)
		{
			unsigned char extended[8];
			const int bytes = length == 126 ? 2 : 8;
			ReadAll(extended, bytes);
			length = 0;
			for (int i = 0; i < bytes; ++i)
				length = (length << 8) | extended[i];
		}
		std::string payload(length, '\0');
		ReadAll(reinterpret_cast<unsigned char*>(&payload[0]), payload.size());
		return payload;
	}

	std::string RoundTrip(const std::string& text)
	{
		Send(text);
		return Receive();
	}

private:
	void SendAll(const std::string& data)
	{
		for (size_t sent = 0; sent < data.size();)
		{
			const ssize_t n = send(m_socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
			if (n <= 0)
				throw std::runtime_error("send failed");
			sent += static_cast<size_t>(n);
		}
	}
	void ReadAll(unsigned char* out, size_t size)
	{
		for (size_t got = 0; got < size;)
		{
			const ssize_t n = recv(m_socket, out + got, size - got, 0);
			if (n <= 0)
				throw std::runtime_error(
					n == 0 ? "connection ended" : "nothing came within " + std::to_string(kPatienceS) + " s");
			got += static_cast<size_t>(n);
		}
	}

	int m_socket;
};

void BM_EventRoundTrip_VsWsEcho(benchmark::State& state)
{
	TheWorkspace();
	const int agentPort = FreePort();
	const auto agent = StartAgent(agentPort);
	const int echoPort = FreePort();
	const auto echo = StartEcho(echoPort);
	Client ours(agentPort);
	Client reference(echoPort);
	double oursS = 0;
	double referenceS = 0;
	for (auto _ : state)
	{
		const Clock::time_point t0 = Clock::now();
		benchmark::DoNotOptimize(ours.RoundTrip(kDriveEvent));
		const Clock::time_point t1 = Clock::now();
		benchmark::DoNotOptimize(reference.RoundTrip(kDriveEvent));
		oursS += Seconds(t1 - t0);
		referenceS += Seconds(Clock::now() - t1);
	}
	Report(state, "ours_us", oursS, "ws_echo_us", referenceS, 1e6);
}
BENCHMARK(BM_EventRoundTrip_VsWsEcho)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_List1000ThroughWebSocket_VsStore(benchmark::State& state)
{
	TheWorkspace();
	const int port = FreePort();
	const auto agent = StartAgent(port);
	Client page(port);
	NpkiStore store;
	double oursS = 0;
	double referenceS = 0;
	for (auto _ : state)
	{
		const Clock::time_point t0 = Clock::now();
		const std::string reply = page.RoundTrip(kListEvent);
		const Clock::time_point t1 = Clock::now();
		Json2 list;
		const int listed = store.ListCertificates("", &list);
		referenceS += Seconds(Clock::now() - t1);
		oursS += Seconds(t1 - t0);
		if (listed != kCertificates || reply.size() < 1000u * 500u)
		{
			state.SkipWithError("the listing was not whole");
			return;
		}
	}
	Report(state, "ours_ms", oursS, "store_ms", referenceS, 1e3);
}
BENCHMARK(BM_List1000ThroughWebSocket_VsStore)->Unit(benchmark::kMillisecond)->MinTime(2.0);

constexpr int kBurst = 1000;

// Seconds until the replies to kBurst drive listings, sent at once over the
// WebSocket, all came back.
double WebSocketBurst(int port)
{
	Client page(port);
	const Clock::time_point start = Clock::now();
	for (int i = 0; i < kBurst; ++i)
		page.Send(kDriveEvent);
	for (int i = 0; i < kBurst; ++i)
		page.Receive();
	const double seconds = Seconds(Clock::now() - start);
	page.Send("", '\x88');
	page.Receive(); // the server's close frame
	return seconds;
}

// "ratio": the agent's burst over the echo server's. Aim: at most 1.
void BM_WebSocketBurst1000_VsWsEcho(benchmark::State& state)
{
	TheWorkspace();
	const int agentPort = FreePort();
	const auto agent = StartAgent(agentPort);
	const int echoPort = FreePort();
	const auto echo = StartEcho(echoPort);
	double oursS = 0;
	double referenceS = 0;
	for (auto _ : state)
	{
		try
		{
			oursS += WebSocketBurst(agentPort);
			referenceS += WebSocketBurst(echoPort);
		}
		catch (const std::exception& e)
		{
			state.SkipWithError(e.what());
			return;
		}
	}
	Report(state, "ours_ms", oursS, "ws_echo_ms", referenceS, 1e3);
}
BENCHMARK(BM_WebSocketBurst1000_VsWsEcho)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();


int MsUntil(Clock::time_point deadline)
{
	return static_cast<int>(std::max<long long>(1,
		std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
}

// The same over the polling transport, as a page of socket.io-client 1.7.4
// that batches its queue: all kBurst events in one POST on one keep-alive
// connection, one GET always held on another. Throws when the replies do not
// all come within kPatienceS.
double PollingBurst(int port)
{
	// The page before may still be leaving: its successor's open is refused
	// until it has.
	const Clock::time_point openBy = Clock::now() + std::chrono::seconds(kPatienceS);
	auto poll = std::make_unique<PageConnection>(port);
	std::string sid;
	while ((sid = OpenAndConnect(*poll)).empty())
	{
		if (Clock::now() > openBy)
			throw std::runtime_error("polling: no session opened within " + std::to_string(kPatienceS) + " s");
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
		poll = std::make_unique<PageConnection>(port);
	}
	const std::string query = "EIO=3&transport=polling&sid=" + Encoded(sid);
	const std::string record = std::string("42") + kDriveEvent;
	std::string body;
	for (int i = 0; i < kBurst; ++i)
		body += std::to_string(record.size()) + ":" + record;
	PageConnection post(port);

	const Clock::time_point start = Clock::now();
	const Clock::time_point deadline = start + std::chrono::seconds(kPatienceS);
	poll->Get(query);
	post.Post(query, body);
	for (int replies = 0; replies < kBurst;)
	{
		const HttpResponse answer = poll->Read(MsUntil(deadline));
		if (!answer.complete || Clock::now() > deadline)
			throw std::runtime_error("polling: " + std::to_string(replies) + " of " + std::to_string(kBurst)
				+ " replies came within " + std::to_string(kPatienceS) + " s");
		poll->Get(query);
		replies += static_cast<int>(EventRecords(answer.body).size());
	}
	const double seconds = Seconds(Clock::now() - start);
	if (post.Read(MsUntil(deadline)).body != "ok")
		throw std::runtime_error("polling: the POST of the events was not answered \"ok\"");
	// Leaves: the close packet; the held poll is answered "1:6".
	post.Post(query, "1:1");
	post.Read();
	poll->Read();
	return seconds;
}

// "ratio": the polling burst's time over the WebSocket's. Aim: within 2x.
void BM_Burst1000ThroughPolling_VsWebSocket(benchmark::State& state)
{
	TheWorkspace();
	const int port = FreePort();
	const auto agent = StartAgent(port);
	double oursS = 0;
	double referenceS = 0;
	for (auto _ : state)
	{
		double webSocketS = 0;
		try
		{
			webSocketS = WebSocketBurst(port);
			oursS += PollingBurst(port);
			referenceS += webSocketS;
		}
		catch (const std::exception& e)
		{
			const std::string why = webSocketS == 0 ? std::string("WebSocket: ") + e.what()
				: e.what() + std::string("; over the WebSocket all came in ")
					+ std::to_string(std::lround(webSocketS * 1e3)) + " ms";
			state.SkipWithError(why.c_str());
			return;
		}
	}
	Report(state, "polling_ms", oursS, "ws_ms", referenceS, 1e3);
}
BENCHMARK(BM_Burst1000ThroughPolling_VsWebSocket)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Start to listening; 20 repetitions, the median among the aggregates.
void BM_StartUpToListening(benchmark::State& state)
{
	TheWorkspace();
	for (auto _ : state)
	{
		const int port = FreePort();
		const Clock::time_point start = Clock::now();
		const auto agent = StartAgent(port);
		state.SetIterationTime(Seconds(Clock::now() - start));
	}
}
BENCHMARK(BM_StartUpToListening)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(20)
	->ReportAggregatesOnly(true);

void BM_ResidentMemory_Idle_Then10000Events(benchmark::State& state)
{
	TheWorkspace();
	for (auto _ : state)
	{
		const int port = FreePort();
		const auto agent = StartAgent(port);
		Client page(port);
		page.RoundTrip(kDriveEvent);
		const long idle = agent->ResidentKb();
		for (int i = 0; i < 10000; ++i)
			page.RoundTrip(kDriveEvent);
		const long busy = agent->ResidentKb();
		for (int i = 0; i < 10000; ++i)
			page.RoundTrip(kDriveEvent);
		state.counters["idle_kB"] = double(idle);
		state.counters["after_10000_kB"] = double(busy);
		state.counters["after_20000_kB"] = double(agent->ResidentKb());
	}
}
BENCHMARK(BM_ResidentMemory_Idle_Then10000Events)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
