// Our ARIA and HAS-160 against references measured in the same run: OpenSSL's
// own ARIA (from its provider), rhash's HAS-160 and OpenSSL's SHA-1, each on
// 16 KiB buffers. After the table, a summary line per pair gives our speed
// divided by the reference's (1.0 or more: we are at least as fast).
//
//   crypto_bench [--benchmark_repetitions=5]   (medians are used when present)

#include "PKI/aria.h"
#include "PKI/has160.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <rhash.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr size_t kBufferSize = 16 * 1024;

std::vector<unsigned char> Buffer()
{
	std::vector<unsigned char> b(kBufferSize);
	for (size_t i = 0; i < b.size(); ++i)
		b[i] = static_cast<unsigned char>(i * 131 + 7);
	return b;
}

// Encrypts the buffer over and over with one context: the key schedule runs
// once, outside the timed loop.
void Encrypt(benchmark::State& state, const EVP_CIPHER* cipher)
{
	if (!cipher) {
		state.SkipWithError("cipher not available");
		return;
	}
	std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
	const unsigned char key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
	const unsigned char iv[16] = {0};
	EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, iv);
	EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
	const std::vector<unsigned char> in = Buffer();
	std::vector<unsigned char> out(kBufferSize);
	for (auto _ : state) {
		int n = 0;
		EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), int(in.size()));
		benchmark::DoNotOptimize(out.data());
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferSize));
}

const EVP_CIPHER* OpenSslCipher(const char* name)
{
	// Fetched once and kept for the whole run.
	static std::map<std::string, EVP_CIPHER*> fetched;
	EVP_CIPHER*& cipher = fetched[name];
	if (!cipher)
		cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
	return cipher;
}

void BM_Aria128Cbc_Ours(benchmark::State& state)
{
	Encrypt(state, AriaEvp128Cbc());
}

void BM_Aria128Cbc_OpenSsl(benchmark::State& state)
{
	Encrypt(state, OpenSslCipher("ARIA-128-CBC"));
}

void BM_Aria256Ecb_Ours(benchmark::State& state)
{
	Encrypt(state, AriaEvp256Ecb());
}

void BM_Aria256Ecb_OpenSsl(benchmark::State& state)
{
	Encrypt(state, OpenSslCipher("ARIA-256-ECB"));
}

// Each digest is a whole message of 16 KiB: start, update, finish.
template <typename Digest>
void Hash(benchmark::State& state, Digest digest)
{
	const std::vector<unsigned char> in = Buffer();
	unsigned char out[64];
	for (auto _ : state) {
		digest(in.data(), in.size(), out);
		benchmark::DoNotOptimize(out);
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferSize));
}

void BM_Has160_Ours(benchmark::State& state)
{
	Hash(state, [](const unsigned char* data, size_t length, unsigned char* out) {
		Has160Context ctx;
		Has160Init(&ctx);
		Has160Update(&ctx, data, length);
		Has160Final(&ctx, out);
	});
}

void BM_Has160_Rhash(benchmark::State& state)
{
	rhash_library_init();
	Hash(state, [](const unsigned char* data, size_t length, unsigned char* out) {
		rhash_msg(RHASH_HAS160, data, length, out);
	});
}

void BM_Sha1_OpenSsl(benchmark::State& state)
{
	std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr), EVP_MD_free);
	Hash(state, [&](const unsigned char* data, size_t length, unsigned char* out) {
		EVP_Digest(data, length, out, nullptr, sha1.get(), nullptr);
	});
}

BENCHMARK(BM_Aria128Cbc_Ours);
BENCHMARK(BM_Aria128Cbc_OpenSsl);
BENCHMARK(BM_Aria256Ecb_Ours);
BENCHMARK(BM_Aria256Ecb_OpenSsl);
BENCHMARK(BM_Has160_Ours);
BENCHMARK(BM_Has160_Rhash);
BENCHMARK(BM_Sha1_OpenSsl);

// The console table as usual, plus the time of each benchmark for the ratios:
// the median of repetitions when there are some, else the single run.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
	void ReportRuns(const std::vector<Run>& runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const Run& run : runs) {
			if (run.error_occurred)
				continue;
			const std::string name = run.run_name.function_name;
			const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
			if (median || (run.run_type == Run::RT_Iteration && !m_medians.count(name))) {
				m_times[name] = run.GetAdjustedRealTime();
				if (median)
					m_medians[name] = true;
			}
		}
	}

	void PrintRatio(const char* label, const std::string& ours, const std::string& reference) const
	{
		const auto a = m_times.find(ours), b = m_times.find(reference);
		if (a == m_times.end() || b == m_times.end() || a->second <= 0)
			return;
		std::printf("%-42s %.2f\n", label, b->second / a->second);
	}

private:
	std::map<std::string, double> m_times;
	std::map<std::string, bool> m_medians;
};

} // namespace

int main(int argc, char** argv)
{
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();
	std::printf("\nspeed ratio (ours / reference; 1.0 or more meets the target)\n");
	reporter.PrintRatio("ARIA-128-CBC ours / OpenSSL ARIA-128-CBC", "BM_Aria128Cbc_Ours", "BM_Aria128Cbc_OpenSsl");
	reporter.PrintRatio("ARIA-256-ECB ours / OpenSSL ARIA-256-ECB", "BM_Aria256Ecb_Ours", "BM_Aria256Ecb_OpenSsl");
	reporter.PrintRatio("HAS-160 ours / rhash HAS-160", "BM_Has160_Ours", "BM_Has160_Rhash");
	reporter.PrintRatio("HAS-160 ours / OpenSSL SHA-1 (for scale)", "BM_Has160_Ours", "BM_Sha1_OpenSsl");
	return 0;
}
