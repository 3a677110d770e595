// The built agent against references measured in the same run:
// - an event round trip over a WebSocket (zimracert_getExternalDrive)
//   against a bare echo server of the ws package for Node, same client;
// - listing 1,000 certificates through the WebSocket against the store's
//   listing alone, in this process;
// - start-up to listening (median of 20 starts);
// - resident memory of an idle agent and after 10,000 events.
// Each pair runs alternately within one iteration; "ratio" is ours over the
// reference.
#include "PKI/NpkiStore.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

double Seconds(Clock::duration d)
{
	return std::chrono::duration<double>(d).count();
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

	void Send(const std::string& text)
	{
		std::string frame = "\x81";
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
				throw std::runtime_error("connection ended");
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
	state.counters["ours_us"] = oursS / double(state.iterations()) * 1e6;
	state.counters["ws_echo_us"] = referenceS / double(state.iterations()) * 1e6;
	state.counters["ratio"] = oursS / referenceS;
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
	state.counters["ours_ms"] = oursS / double(state.iterations()) * 1e3;
	state.counters["store_ms"] = referenceS / double(state.iterations()) * 1e3;
	state.counters["ratio"] = oursS / referenceS;
}
BENCHMARK(BM_List1000ThroughWebSocket_VsStore)->Unit(benchmark::kMillisecond)->MinTime(2.0);

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
