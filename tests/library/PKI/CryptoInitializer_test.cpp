#include "PKI/CryptoInitializer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include "PKI/NpkiStore.h"
#include "PKI/SeedPbe.h"
#include "PKI/aria.h"
#include "PKI/cert_util.h"
#include "PKI/has160.h"
#include "library/PKI/CryptoTestEnv.h"

namespace
{

long SizeOf(const std::string& path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

} // namespace

// The program's entry starts the library with one call, and every utility
// that needs the library brings the start-up up by itself too, so no
// program depends on a static object the linker may drop.
TEST(CryptoInitializer, EveryEntryPointRunsTheStartUp)
{
	if (CryptoTestEnv::Started())
	{
		GTEST_SKIP() << "the start-up already ran in this process";
	}
	const unsigned char b[4] = {1, 2, 3, 4};
	unsigned char* bytes = nullptr;
	char* text = nullptr;
	X509* cert = nullptr;
	const std::function<void()> entryPoints[] = {
		[&] { StartCrypto(); },
		[&] { DigestByName("SHA1", b, 4, &bytes); },
		[&] { DecryptPrivateKey(b, 4, "x"); },
		[&] { DecodeDerCertificate(&cert, b, 4); },
		[&] { WriteEncryptedPkcs8(nullptr, "x", "/nonexistent/x"); },
		[&] { Pkcs12ToFiles(b, 4, "/nonexistent/a", "/nonexistent/b", "x", "x"); },
		[&] { Pkcs12GetProperty(b, 4, "x", 0, &text); },
		[&] { FilesToPkcs12("/nonexistent/a", "/nonexistent/b", "x", "x", &bytes); },
	};
	for (const auto& entryPoint : entryPoints)
		EXPECT_TRUE(CryptoTestEnv::InChild([&] { entryPoint(); return CryptoTestEnv::Started(); }));
}

// The objects and algorithms of our own are found by their names and OIDs;
// an OID shared by two objects reads as the older one.
TEST(CryptoInitializer, CreatesObjectsAndRegistersAlgorithmsOnce)
{
	CryptoInitializer::Instance();
	const int has160 = OBJ_sn2nid("HAS160");
	const int pbeSha = OBJ_sn2nid("PBE-SHA-SEED-CBC");
	EXPECT_STREQ(OBJ_nid2ln(OBJ_sn2nid("RSA-HAS160")), "has160WithRSAEncryption");
	const std::pair<const char*, int> oids[] = {{"1.2.410.200004.1.15", pbeSha},
		{"1.2.840.113549.1.1.5", NID_sha1WithRSAEncryption}, {"1.2.410.200004.1.2", has160},
		{"1.2.410.200004.13.1.5", OBJ_sn2nid("PBE-HAS160-SEED-CBC")}};
	for (const auto& oid : oids)
		EXPECT_EQ(OBJ_txt2nid(oid.first), oid.second) << oid.first;
	for (int nid : {pbeSha, OBJ_sn2nid("PBE-HAS160-SEED-CBC"), OBJ_sn2nid("PBE-SHA1-SEED-CBC"), NID_seed_cbc})
		EXPECT_TRUE(nid != NID_undef && EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, nullptr, nullptr, nullptr)) << nid;
	EXPECT_EQ(EVP_get_digestbyname("HAS160"), Has160EvpMd());
	EXPECT_EQ(EVP_get_digestbynid(has160), Has160EvpMd());
	EXPECT_EQ(EVP_MD_block_size(Has160EvpMd()), 64);
	const std::pair<const char*, const EVP_CIPHER*> ciphers[] = {{"SEED-CBC", SeedCbcEvp()},
		{"aria128", AriaEvp128Cbc()}, {"ARIA128", AriaEvp128Cbc()}, {"aria192", AriaEvp192Cbc()},
		{"ARIA256", AriaEvp256Cbc()}, {"aria-256-cfb8", AriaEvp256Cfb8()}};
	for (const auto& cipher : ciphers)
		EXPECT_EQ(EVP_get_cipherbyname(cipher.first), cipher.second) << cipher.first;
	EXPECT_EQ(EVP_get_cipherbynid(OBJ_sn2nid("ARIA-192-OFB")), AriaEvp192Ofb());
	// The records carry the default IV parameter, so PBES2 can name them.
	X509_ALGOR* pbes2 = PKCS5_pbe2_set_iv(AriaEvp256Cbc(), 2048, nullptr, 0, nullptr, NID_hmacWithSHA256);
	EXPECT_NE(pbes2, nullptr);
	X509_ALGOR_free(pbes2);
	EXPECT_TRUE(OSSL_PROVIDER_available(nullptr, "default"));
	EXPECT_TRUE(OSSL_PROVIDER_available(nullptr, "legacy"));

	CryptoInitializer again; // a second start-up changes nothing
	EXPECT_EQ(OBJ_sn2nid("HAS160"), has160);
	EXPECT_EQ(OBJ_txt2nid("1.2.410.200004.1.15"), pbeSha);
}

// The seed file is RANDFILE's (HOME left alone), else .rnd in HOME, which
// comes from HOMEDRIVE and HOMEPATH when unset. It is deleted at the end only
// by the start-up that made it.
TEST(CryptoInitializer, SeedFileRules)
{
	const std::string seed = CryptoTestEnv::SeedFile();
	const std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
	CryptoInitializer& crypto = CryptoInitializer::Instance();
	EXPECT_EQ(crypto.SeedFileName(), seed);
	EXPECT_EQ(SizeOf(seed), 1024);
	EXPECT_EQ(home, getenv("HOME") != nullptr ? getenv("HOME") : "");
	{
		CryptoInitializer other;
	}
	EXPECT_EQ(SizeOf(seed), 1024);
	crypto.RemoveSeedFile();
	EXPECT_EQ(SizeOf(seed), -1);
	// The name is a host path as the library gives it, backslash and all.
	const std::string odd = CryptoTestEnv::Dir() + "/odd\\name.rnd";
	setenv("RANDFILE", odd.c_str(), 1);
	{
		CryptoInitializer other;
		EXPECT_EQ(SizeOf(odd), 1024);
	}
	EXPECT_EQ(SizeOf(odd), -1);

	unsetenv("RANDFILE");
	unsetenv("HOME");
	setenv("HOMEDRIVE", CryptoTestEnv::Dir().c_str(), 1);
	setenv("HOMEPATH", "/home", 1);
	ASSERT_EQ(mkdir((CryptoTestEnv::Dir() + "/home").c_str(), 0700), 0);
	{
		CryptoInitializer again;
		EXPECT_EQ(std::string(getenv("HOME")), CryptoTestEnv::Dir() + "/home");
		EXPECT_EQ(again.SeedFileName(), CryptoTestEnv::Dir() + "/home/.rnd");
		EXPECT_EQ(SizeOf(again.SeedFileName()), 1024);
	}
	EXPECT_EQ(SizeOf(CryptoTestEnv::Dir() + "/home/.rnd"), -1);
	setenv("RANDFILE", seed.c_str(), 1);
}

// A session that defines none of the Windows variables, nor HOME: the
// start-up puts HOME at the user's own home, where the seed file goes, and
// the store's folders are the same before and after it.
TEST(CryptoInitializer, DefaultEnvironmentKeepsTheHomeAndTheStore)
{
	if (CryptoTestEnv::Started())
	{
		GTEST_SKIP() << "the start-up already ran in this process";
	}
	EXPECT_TRUE(CryptoTestEnv::InChild([] {
		for (const char* name : {"RANDFILE", "HOME", "HOMEDRIVE", "HOMEPATH", "ProgramFiles", "APPDATA",
				 "ZIMRACERT_DRIVES"})
		{
			unsetenv(name);
		}
		const passwd* user = getpwuid(geteuid());
		const std::string home = user != nullptr ? user->pw_dir : "";
		std::string windowsHome = home;
		std::replace(windowsHome.begin(), windowsHome.end(), '/', '\\');
		std::string before;
		std::string after;
		NpkiStore().GetPrimaryRootUtf8(&before);
		StartCrypto();
		NpkiStore().GetPrimaryRootUtf8(&after);
		const std::string now = getenv("HOME") != nullptr ? getenv("HOME") : "(unset)";
		const std::string seed = CryptoInitializer::Instance().SeedFileName();
		fprintf(stderr, "HOME %s, seed %s, store %s then %s\n", now.c_str(), seed.c_str(), before.c_str(),
			after.c_str());
		return !home.empty() && now == home && seed == home + "/.rnd" && before == "C:" + windowsHome + "\\NPKI"
			&& after == before;
	}));
}

// The library no longer calls the locking callback; it must still lock.
TEST(CryptoInitializer, LockingCallbackExcludesOtherThreads)
{
	std::atomic<bool> entered(false);
	CryptoLockingCallback(CRYPTO_LOCK, 7, __FILE__, __LINE__);
	std::thread other([&] {
		CryptoLockingCallback(CRYPTO_LOCK, 7, __FILE__, __LINE__);
		entered = true;
		CryptoLockingCallback(CRYPTO_UNLOCK, 7, __FILE__, __LINE__);
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(100));
	EXPECT_FALSE(entered);
	CryptoLockingCallback(CRYPTO_UNLOCK, 7, __FILE__, __LINE__);
	other.join();
	EXPECT_TRUE(entered);
}
