// Our ARIA and HAS-160 against references measured in the same run: OpenSSL's
// own ARIA (from its provider), rhash's HAS-160 and OpenSSL's SHA-1, each on
// 16 KiB buffers. Each benchmark runs ours and the reference in turn, one
// buffer each per iteration, so that both see the same machine load; its
// counters give both throughputs and the ratio of the median times
// (reference / ours: 1.0 or more means ours is at least as fast). A summary
// of the ratios follows the table.

#include "PKI/aria.h"
#include "PKI/has160.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <rhash.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
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

double Median(std::vector<double>& v)
{
	std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
	return v[v.size() / 2];
}

// Times `ours` and `reference` alternately, one 16 KiB buffer each per
// iteration, and reports the medians as counters.
void Compare(benchmark::State& state, const std::function<void()>& ours, const std::function<void()>& reference)
{
	using Clock = std::chrono::steady_clock;
	std::vector<double> oursNs, referenceNs;
	for (auto _ : state) {
		const auto t0 = Clock::now();
		ours();
		const auto t1 = Clock::now();
		reference();
		const auto t2 = Clock::now();
		oursNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
		referenceNs.push_back(std::chrono::duration<double, std::nano>(t2 - t1).count());
	}
	const double a = Median(oursNs), b = Median(referenceNs);
	state.counters["ours_MB/s"] = kBufferSize / a * 1e3;
	state.counters["ref_MB/s"] = kBufferSize / b * 1e3;
	state.counters["ratio"] = b / a;
}

using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// A context keyed once (the key schedule stays outside the timing) that
// encrypts the buffer in place over and over.
CtxPtr Keyed(const EVP_CIPHER* cipher)
{
	CtxPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
	const unsigned char key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
	const unsigned char iv[16] = {0};
	if (!cipher || !EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, iv))
		return CtxPtr(nullptr, EVP_CIPHER_CTX_free);
	EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
	return ctx;
}

void CompareCiphers(benchmark::State& state, const EVP_CIPHER* ours, const char* name)
{
	std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> theirs(
		EVP_CIPHER_fetch(nullptr, name, nullptr), EVP_CIPHER_free);
	CtxPtr a = Keyed(ours), b = Keyed(theirs.get());
	if (!a || !b) {
		state.SkipWithError("cipher not available");
		return;
	}
	std::vector<unsigned char> buffer = Buffer();
	const auto run = [&](EVP_CIPHER_CTX* ctx) {
		int n = 0;
		EVP_EncryptUpdate(ctx, buffer.data(), &n, buffer.data(), int(buffer.size()));
		benchmark::DoNotOptimize(buffer.data());
	};
	Compare(state, [&] { run(a.get()); }, [&] { run(b.get()); });
}

void BM_Aria128Cbc_OursVsOpenSsl(benchmark::State& state)
{
	CompareCiphers(state, AriaEvp128Cbc(), "ARIA-128-CBC");
}

void BM_Aria256Ecb_OursVsOpenSsl(benchmark::State& state)
{
	CompareCiphers(state, AriaEvp256Ecb(), "ARIA-256-ECB");
}

// Each digest is a whole message of 16 KiB: start, update, finish.
void OurHas160(const std::vector<unsigned char>& in, unsigned char* out)
{
	Has160Context ctx;
	Has160Init(&ctx);
	Has160Update(&ctx, in.data(), in.size());
	Has160Final(&ctx, out);
	benchmark::DoNotOptimize(out);
}

void BM_Has160_OursVsRhash(benchmark::State& state)
{
	rhash_library_init();
	const std::vector<unsigned char> in = Buffer();
	unsigned char out[64];
	Compare(state, [&] { OurHas160(in, out); }, [&] {
		rhash_msg(RHASH_HAS160, in.data(), in.size(), out);
		benchmark::DoNotOptimize(out);
	});
}

void BM_Has160_OursVsOpenSslSha1(benchmark::State& state)
{
	std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr), EVP_MD_free);
	const std::vector<unsigned char> in = Buffer();
	unsigned char out[64];
	Compare(state, [&] { OurHas160(in, out); }, [&] {
		EVP_Digest(in.data(), in.size(), out, nullptr, sha1.get(), nullptr);
		benchmark::DoNotOptimize(out);
	});
}

BENCHMARK(BM_Aria128Cbc_OursVsOpenSsl);
BENCHMARK(BM_Aria256Ecb_OursVsOpenSsl);
BENCHMARK(BM_Has160_OursVsRhash);
BENCHMARK(BM_Has160_OursVsOpenSslSha1);

// The console table as usual, and each benchmark's ratio for the summary: the
// median over repetitions when there are some, else the single run.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
	void ReportRuns(const std::vector<Run>& runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const Run& run : runs) {
			const auto ratio = run.counters.find("ratio");
			if (run.error_occurred || ratio == run.counters.end())
				continue;
			const std::string name = run.run_name.function_name;
			const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
			if (median || (run.run_type == Run::RT_Iteration && !m_fromMedian[name])) {
				m_ratios[name] = ratio->second.value;
				m_fromMedian[name] = median;
			}
		}
	}

	void PrintSummary() const
	{
		std::printf("\nspeed ratio (reference time / our time; 1.0 or more meets the target)\n");
		const char* labels[][2] = {
			{"BM_Aria128Cbc_OursVsOpenSsl", "ARIA-128-CBC: ours vs OpenSSL's ARIA"},
			{"BM_Aria256Ecb_OursVsOpenSsl", "ARIA-256-ECB: ours vs OpenSSL's ARIA"},
			{"BM_Has160_OursVsRhash", "HAS-160: ours vs rhash's HAS-160"},
			{"BM_Has160_OursVsOpenSslSha1", "HAS-160: ours vs OpenSSL's SHA-1 (for scale)"},
		};
		for (const auto& label : labels) {
			const auto found = m_ratios.find(label[0]);
			if (found != m_ratios.end())
				std::printf("%-46s %.2f\n", label[1], found->second);
		}
	}

private:
	std::map<std::string, double> m_ratios;
	std::map<std::string, bool> m_fromMedian;
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
	reporter.PrintSummary();
	return 0;
}
