// Listing the NPKI store against a floor measured in the same run. The tree
// holds 1,000 certificates (RSA-2048, Korean subject names, a policy); the
// floor is a plain loop over the same folders that reads each signCert.der
// and signPri.key, decodes the certificate with d2i_X509 and takes its MD5
// and SHA-1. Each iteration runs the listing and the floor in turn; the
// counter "ratio" is listing time / floor time (the target is 1.3 or less).

#include "PKI/NpkiStore.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr int kCertificates = 1000;

struct Tree
{
	std::string root; // host folder of drive C:
	std::vector<std::string> folders; // host folders of the certificates
};

double g_ratio = 0;
std::string g_root; // removed at exit once made

void WriteFile(const std::string& path, const unsigned char* data, size_t size)
{
	std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

// Certificates signed by one CA key, made with the library alone.
void MakeCertificate(EVP_PKEY* key, int serial, const std::string& folder)
{
	std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
	X509_set_version(cert.get(), 2);
	ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x10000 + serial);
	X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
	X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
	X509_NAME* subject = X509_get_subject_name(cert.get());
	const std::string cn = "홍길동" + std::to_string(serial) + "()0012345";
	X509_NAME_add_entry_by_txt(subject, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("KR"), -1, -1, 0);
	X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("yessign"), -1, -1, 0);
	X509_NAME_add_entry_by_txt(subject, "OU", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("personal4IB"), -1, -1, 0);
	X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
	X509_set_issuer_name(cert.get(), subject);
	X509_set_pubkey(cert.get(), key);
	X509V3_CTX ctx;
	X509V3_set_ctx_nodb(&ctx);
	X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
	X509_EXTENSION* policy = X509V3_EXT_conf_nid(nullptr, &ctx, NID_certificate_policies, "1.2.410.200005.1.1.4");
	X509_add_ext(cert.get(), policy, -1);
	X509_EXTENSION_free(policy);
	X509_sign(cert.get(), key, EVP_sha256());
	unsigned char* der = nullptr;
	const int length = i2d_X509(cert.get(), &der);
	std::filesystem::create_directories(folder);
	WriteFile(folder + "/signCert.der", der, size_t(length));
	OPENSSL_free(der);
	const unsigned char keyBytes[64] = { 0x30 };
	WriteFile(folder + "/signPri.key", keyBytes, sizeof(keyBytes));
}

const Tree& TheTree()
{
	static Tree tree = [] {
		Tree made;
		char pattern[] = "/tmp/zc_store_bench_XXXXXX";
		made.root = mkdtemp(pattern) ? pattern : "/nonexistent";
		g_root = made.root;
		setenv("RANDFILE", (made.root + "/seed.rnd").c_str(), 1);
		setenv("ZIMRACERT_DRIVES", ("C=" + made.root).c_str(), 1);
		setenv("HOMEDRIVE", "C:", 1);
		setenv("ProgramFiles", "C:", 1);
		unsetenv("APPDATA");
		std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
		for (int i = 0; i < kCertificates; ++i)
		{
			const std::string folder = made.root + "/NPKI/CA" + std::to_string(i % 5) + "/USER/cn=user" +
				std::to_string(i) + ",ou=personal4IB,o=yessign,c=kr";
			MakeCertificate(key.get(), i, folder);
			made.folders.push_back(folder);
		}
		std::sort(made.folders.begin(), made.folders.end());
		return made;
	}();
	return tree;
}

std::vector<unsigned char> ReadAll(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The floor: only the work no listing can avoid.
int Floor(const Tree& tree)
{
	int count = 0;
	unsigned char md5[EVP_MAX_MD_SIZE];
	unsigned char sha1[EVP_MAX_MD_SIZE];
	for (const std::string& folder : tree.folders)
	{
		const std::vector<unsigned char> der = ReadAll(folder + "/signCert.der");
		const std::vector<unsigned char> key = ReadAll(folder + "/signPri.key");
		const unsigned char* p = der.data();
		X509* cert = d2i_X509(nullptr, &p, long(der.size()));
		if (cert != nullptr && !key.empty())
		{
			EVP_Digest(der.data(), der.size(), md5, nullptr, EVP_md5(), nullptr);
			EVP_Digest(der.data(), der.size(), sha1, nullptr, EVP_sha1(), nullptr);
			benchmark::DoNotOptimize(md5);
			benchmark::DoNotOptimize(sha1);
			++count;
		}
		X509_free(cert);
	}
	return count;
}

void BM_ListCertificates_VsFloor(benchmark::State& state)
{
	const Tree& tree = TheTree();
	NpkiStore store;
	using Clock = std::chrono::steady_clock;
	double listNs = 0;
	double floorNs = 0;
	for (auto _ : state)
	{
		const auto t0 = Clock::now();
		Json2 list;
		const int listed = store.ListCertificates("", &list);
		const auto t1 = Clock::now();
		const int floor = Floor(tree);
		const auto t2 = Clock::now();
		if (listed != kCertificates || floor != kCertificates)
		{
			state.SkipWithError("the tree did not list whole");
			return;
		}
		listNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
		floorNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
	}
	g_ratio = listNs / floorNs;
	state.counters["list_ms"] = listNs / double(state.iterations()) / 1e6;
	state.counters["floor_ms"] = floorNs / double(state.iterations()) / 1e6;
	state.counters["ratio"] = g_ratio;
}

BENCHMARK(BM_ListCertificates_VsFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv)
{
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	std::printf("\nlisting time / floor time (1.3 or less meets the target): %.2f\n", g_ratio);
	std::error_code ignored;
	if (!g_root.empty())
		std::filesystem::remove_all(g_root, ignored);
	return 0;
}
