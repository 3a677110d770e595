// TLS on the socket framework against a reference measured in the same run:
// a minimal blocking OpenSSL server written here, with the same certificate
// file (RSA 2048, key under a pass phrase) and the same blocking client loop.
//
// - Handshakes: the client connects, completes a full handshake (no session
//   resumption), reads one byte that the server sends once its side stands,
//   and closes. "ratio" is framework handshakes per second / reference
//   handshakes per second (target: 0.9 or more).
// - Transfer: one connection carries 16 MiB from the server, which then
//   closes with close_notify. "ratio" is framework bytes per second /
//   reference bytes per second (target: 0.9 or more).
// Each iteration runs the framework and the reference in turn, so both see
// the same load on the machine; "ratio" is the median of the iterations'
// ratios, which a burst of load elsewhere on the machine moves least.

#include "PKI/CryptoInitializer.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"
#include "sockets/TcpSocket.h"

#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr const char* kPassPhrase = "61937";
constexpr int kHandshakesPerTurn = 20;
constexpr std::size_t kTransferBytes = 16u << 20;
constexpr std::size_t kChunk = 1u << 20;

enum Mode
{
	kHandshake,
	kTransfer
};
std::atomic<int> g_mode{kHandshake};
std::string g_certFile;
double g_handshakeRatio = 0;
double g_transferRatio = 0;

const std::string& Chunk()
{
	static const std::string chunk(kChunk, 'x');
	return chunk;
}

// A self-signed RSA 2048 / SHA-256 certificate and its key, encrypted under
// the pass phrase, in one PEM file.
std::string WriteCertificateFile()
{
	char pattern[] = "/tmp/zc_tls_bench_XXXXXX";
	const int fd = mkstemp(pattern);
	if (fd < 0)
		return "";
	std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
	std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
	X509_set_version(cert.get(), 2);
	ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
	X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
	X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24);
	X509_NAME* name = X509_get_subject_name(cert.get());
	X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
	X509_set_issuer_name(cert.get(), name);
	X509_set_pubkey(cert.get(), key.get());
	X509_sign(cert.get(), key.get(), EVP_sha256());
	std::unique_ptr<FILE, decltype(&fclose)> out(fdopen(fd, "w"), fclose);
	PEM_write_X509(out.get(), cert.get());
	PEM_write_PrivateKey(out.get(), key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr, const_cast<char*>(kPassPhrase));
	return pattern;
}

int PasswordCallback(char* buf, int size, int, void*)
{
	return std::snprintf(buf, static_cast<std::size_t>(size), "%s", kPassPhrase);
}

// ---- the server on the framework ----

class BenchSocket : public TcpSocket
{
public:
	explicit BenchSocket(ISocketHandler& handler)
		: TcpSocket(handler)
	{
	}

	void Init() override { EnableSSL(true); }
	void InitSSLServer() override { InitializeContext("bench", g_certFile, kPassPhrase, TLS_server_method()); }
	void OnAccept() override
	{
		if (g_mode == kHandshake)
		{
			Send("k");
			SetCloseAndDelete(true);
			return;
		}
		m_left = kTransferBytes;
		SendMore();
	}
	void OnWriteComplete() override { SendMore(); }

private:
	void SendMore()
	{
		if (m_left == 0)
			return;
		m_left -= kChunk;
		SendBuf(Chunk().data(), kChunk);
		if (m_left == 0)
			SetCloseAndDelete(true);
	}

	std::size_t m_left = 0;
};

class FrameworkServer
{
public:
	FrameworkServer()
		: m_handler(nullptr)
		, m_listener(m_handler)
	{
		Ipv4Address loopback("127.0.0.1", 0);
		m_listener.Bind(loopback, 20);
		port = m_listener.GetPort();
		m_handler.Add(&m_listener);
		m_thread = std::thread([this] {
			while (!m_stop)
				m_handler.Select(0, 100000);
		});
	}
	~FrameworkServer()
	{
		m_stop = true;
		m_thread.join();
	}

	unsigned short port = 0;

private:
	SocketHandler m_handler;
	ListenSocket<BenchSocket> m_listener;
	std::atomic<bool> m_stop{false};
	std::thread m_thread;
};

// ---- the reference: one blocking connection at a time ----

class ReferenceServer
{
public:
	ReferenceServer()
		: m_context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free)
	{
		SSL_CTX_set_default_passwd_cb(m_context.get(), PasswordCallback);
		SSL_CTX_use_certificate_chain_file(m_context.get(), g_certFile.c_str());
		SSL_CTX_use_PrivateKey_file(m_context.get(), g_certFile.c_str(), SSL_FILETYPE_PEM);
		m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
		const int on = 1;
		::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof(a));
		::listen(m_listen, 20);
		socklen_t length = sizeof(a);
		::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &length);
		port = ntohs(a.sin_port);
		m_thread = std::thread([this] { Serve(); });
	}
	~ReferenceServer()
	{
		::shutdown(m_listen, SHUT_RDWR); // wakes the blocked accept()
		m_thread.join();
		::close(m_listen);
	}

	unsigned short port = 0;

private:
	void Serve()
	{
		for (;;)
		{
			const int fd = ::accept(m_listen, nullptr, nullptr);
			if (fd < 0)
				return;
			SSL* ssl = SSL_new(m_context.get());
			SSL_set_fd(ssl, fd);
			if (SSL_accept(ssl) == 1)
			{
				if (g_mode == kHandshake)
				{
					SSL_write(ssl, "k", 1);
				}
				else
				{
					for (std::size_t sent = 0; sent < kTransferBytes; sent += kChunk)
						SSL_write(ssl, Chunk().data(), static_cast<int>(kChunk));
				}
				SSL_shutdown(ssl);
			}
			SSL_free(ssl);
			::close(fd);
		}
	}

	std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_context;
	int m_listen = -1;
	std::thread m_thread;
};

// ---- the client loop both are measured with ----

SSL_CTX* ClientContext()
{
	static SSL_CTX* const context = SSL_CTX_new(TLS_client_method());
	return context;
}

// Connects, shakes hands and reads until the server's close_notify (or, in
// handshake mode, one byte); returns the bytes read.
std::size_t RunClient(unsigned short port)
{
	const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	std::size_t total = 0;
	if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
	{
		SSL* ssl = SSL_new(ClientContext());
		SSL_set_fd(ssl, fd);
		if (SSL_connect(ssl) == 1)
		{
			static char buffer[65536];
			const int want = g_mode == kHandshake ? 1 : static_cast<int>(sizeof(buffer));
			for (int n; (n = SSL_read(ssl, buffer, want)) > 0;)
			{
				total += static_cast<std::size_t>(n);
				if (g_mode == kHandshake)
					break;
			}
		}
		SSL_free(ssl);
	}
	::close(fd);
	return total;
}

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values)
{
	if (values.empty())
		return 0;
	std::sort(values.begin(), values.end());
	const std::size_t n = values.size();
	return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Seconds(Clock::time_point from)
{
	return std::chrono::duration<double>(Clock::now() - from).count();
}

struct Comparison
{
	double frameworkSeconds = 0;
	double referenceSeconds = 0;
	double ratio = 0; // the median of reference time / framework time
};

// Each iteration times one turn against the framework, then one against the
// reference. turn(port) is false when the exchange came out wrong.
template <class Turn>
Comparison Compare(benchmark::State& state, Turn turn)
{
	FrameworkServer framework;
	ReferenceServer reference;
	Comparison result;
	std::vector<double> ratios;
	for (auto _ : state)
	{
		auto t = Clock::now();
		if (!turn(framework.port))
		{
			state.SkipWithError("the framework's exchange failed");
			break;
		}
		const double frameworkSeconds = Seconds(t);
		t = Clock::now();
		if (!turn(reference.port))
		{
			state.SkipWithError("the reference's exchange failed");
			break;
		}
		const double referenceSeconds = Seconds(t);
		result.frameworkSeconds += frameworkSeconds;
		result.referenceSeconds += referenceSeconds;
		ratios.push_back(referenceSeconds / frameworkSeconds);
	}
	result.ratio = Median(ratios);
	return result;
}

void BM_Handshakes_VsBlockingOpenssl(benchmark::State& state)
{
	g_mode = kHandshake;
	const Comparison c = Compare(state, [](unsigned short port) {
		for (int i = 0; i < kHandshakesPerTurn; ++i)
		{
			if (RunClient(port) != 1)
				return false;
		}
		return true;
	});
	const double handshakes = double(state.iterations()) * kHandshakesPerTurn;
	state.counters["framework_per_s"] = handshakes / c.frameworkSeconds;
	state.counters["reference_per_s"] = handshakes / c.referenceSeconds;
	state.counters["ratio"] = g_handshakeRatio = c.ratio;
}

void BM_Transfer16MiB_VsBlockingOpenssl(benchmark::State& state)
{
	g_mode = kTransfer;
	const Comparison c = Compare(state, [](unsigned short port) { return RunClient(port) == kTransferBytes; });
	const double mebibytes = double(state.iterations()) * double(kTransferBytes) / (1 << 20);
	state.counters["framework_MiB_per_s"] = mebibytes / c.frameworkSeconds;
	state.counters["reference_MiB_per_s"] = mebibytes / c.referenceSeconds;
	state.counters["ratio"] = g_transferRatio = c.ratio;
}

BENCHMARK(BM_Handshakes_VsBlockingOpenssl)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Transfer16MiB_VsBlockingOpenssl)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

int main(int argc, char** argv)
{
	CryptoInitializer::Instance();
	g_certFile = WriteCertificateFile();
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	std::printf("\nframework / blocking reference, 0.9 or more meets the target:\n");
	std::printf("  handshakes per second: %.2f\n", g_handshakeRatio);
	std::printf("  bytes per second (16 MiB): %.2f\n", g_transferRatio);
	std::remove(g_certFile.c_str());
	return 0;
}
