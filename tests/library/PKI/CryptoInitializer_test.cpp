#include "PKI/CryptoInitializer.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>

#include "PKI/SeedPbe.h"
#include "PKI/aria.h"
#include "PKI/has160.h"
#include "PKI/cert_util.h"
#include "library/PKI/CryptoTestEnv.h"

namespace
{

bool Exists(const std::string& path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

long SizeOf(const std::string& path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

} // namespace

// Every utility that needs the library brings the start-up up by itself, so
// no program depends on a static object the linker may drop. Each entry
// point is tried in a fresh child process that has not started it yet.
TEST(CryptoInitializer, EveryEntryPointRunsTheStartUp)
{
	if (OBJ_sn2nid("PBE-SHA-SEED-CBC") != NID_undef)
	{
		GTEST_SKIP() << "the start-up already ran in this process";
	}
	const unsigned char bytes[4] = {1, 2, 3, 4};
	const std::vector<std::function<void()>> entryPoints = {
		[&] { unsigned char* out = nullptr; DigestByName("SHA1", bytes, 4, &out); std::free(out); },
		[&] { EVP_PKEY_free(DecryptPrivateKey(bytes, 4, "x")); },
		[&] { X509* x = nullptr; DecodeDerCertificate(&x, bytes, 4); },
		[&] { WriteEncryptedPkcs8(nullptr, "x", "/nonexistent/x"); },
		[&] { Pkcs12ToFiles(bytes, 4, "/nonexistent/a", "/nonexistent/b", "x", "x"); },
		[&] { char* out = nullptr; Pkcs12GetProperty(bytes, 4, "x", 0, &out); },
		[&] { unsigned char* out = nullptr; FilesToPkcs12("/nonexistent/a", "/nonexistent/b", "x", "x", &out); },
	};
	for (size_t i = 0; i < entryPoints.size(); ++i)
	{
		pid_t child = fork();
		ASSERT_GE(child, 0);
		if (child == 0)
		{
			entryPoints[i]();
			const bool started = OBJ_sn2nid("PBE-SHA-SEED-CBC") != NID_undef;
			CryptoInitializer::Instance().RemoveSeedFile();
			_exit(started ? 0 : 1);
		}
		int status = 0;
		waitpid(child, &status, 0);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "entry point " << i;
	}
}

TEST(CryptoInitializer, CreatesObjectsAndRegistersSchemesOnce)
{
	CryptoInitializer::Instance();
	const int has160 = OBJ_sn2nid("HAS160");
	const int pbeSha = OBJ_sn2nid("PBE-SHA-SEED-CBC");
	for (const char* name : {"HAS160", "RSA-HAS160", "PBE-HAS160-SEED-CBC", "PBE-SHA-SEED-CBC", "PBE-SHA1-SEED-CBC"})
	{
		EXPECT_NE(OBJ_sn2nid(name), NID_undef) << name;
	}
	EXPECT_STREQ(OBJ_nid2ln(OBJ_sn2nid("RSA-HAS160")), "has160WithRSAEncryption");
	// An OID shared by two objects reads as the older one.
	EXPECT_EQ(OBJ_txt2nid("1.2.410.200004.1.15"), pbeSha);
	EXPECT_EQ(OBJ_txt2nid("1.2.840.113549.1.1.5"), NID_sha1WithRSAEncryption);
	EXPECT_EQ(OBJ_txt2nid("1.2.410.200004.1.2"), has160);
	EXPECT_EQ(OBJ_txt2nid("1.2.410.200004.13.1.5"), OBJ_sn2nid("PBE-HAS160-SEED-CBC"));

	for (int nid : {pbeSha, OBJ_sn2nid("PBE-HAS160-SEED-CBC"), OBJ_sn2nid("PBE-SHA1-SEED-CBC"), NID_seed_cbc})
	{
		EXPECT_TRUE(EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, nullptr, nullptr, nullptr)) << nid;
	}
	EXPECT_EQ(EVP_get_cipherbyname("SEED-CBC"), SeedCbcEvp());
	EXPECT_EQ(EVP_get_digestbyname("HAS160"), Has160EvpMd());
	EXPECT_EQ(EVP_get_digestbynid(has160), Has160EvpMd());
	EXPECT_EQ(EVP_get_cipherbyname("aria128"), AriaEvp128Cbc());
	EXPECT_EQ(EVP_get_cipherbyname("ARIA128"), AriaEvp128Cbc());
	EXPECT_EQ(EVP_get_cipherbyname("aria192"), AriaEvp192Cbc());
	EXPECT_EQ(EVP_get_cipherbyname("ARIA256"), AriaEvp256Cbc());
	EXPECT_EQ(EVP_get_cipherbyname("ARIA-192-ECB"), AriaEvp192Ecb());
	EXPECT_EQ(EVP_get_cipherbyname("aria-256-cfb8"), AriaEvp256Cfb8());
	EXPECT_EQ(EVP_get_cipherbyname("ARIA-128-OFB"), AriaEvp128Ofb());
	EXPECT_TRUE(OSSL_PROVIDER_available(nullptr, "default"));
	EXPECT_TRUE(OSSL_PROVIDER_available(nullptr, "legacy"));

	// A second start-up changes nothing.
	{
		CryptoInitializer again;
	}
	EXPECT_EQ(OBJ_sn2nid("HAS160"), has160);
	EXPECT_EQ(OBJ_sn2nid("PBE-SHA-SEED-CBC"), pbeSha);
	EXPECT_EQ(OBJ_txt2nid("1.2.410.200004.1.15"), pbeSha);
}

TEST(CryptoInitializer, SeedFileIsDeletedOnlyWhenTheStartUpMadeIt)
{
	const std::string seed = CryptoTestEnv::SeedFile();
	const std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
	CryptoInitializer& crypto = CryptoInitializer::Instance();
	EXPECT_EQ(crypto.SeedFileName(), seed);
	EXPECT_EQ(SizeOf(seed), 1024);
	EXPECT_EQ(home, getenv("HOME") != nullptr ? getenv("HOME") : "");

	// This one finds the seed file already there: it is not its to delete.
	{
		CryptoInitializer other;
		EXPECT_EQ(other.SeedFileName(), seed);
	}
	EXPECT_TRUE(Exists(seed));
	crypto.RemoveSeedFile();
	EXPECT_FALSE(Exists(seed));
}

TEST(CryptoInitializer, HomeComesFromHomeDriveAndHomePath)
{
	const std::string saved = getenv("RANDFILE");
	unsetenv("RANDFILE");
	unsetenv("HOME");
	setenv("HOMEDRIVE", CryptoTestEnv::Dir().c_str(), 1);
	setenv("HOMEPATH", "/home", 1);
	ASSERT_EQ(mkdir((CryptoTestEnv::Dir() + "/home").c_str(), 0700), 0);
	const std::string seed = CryptoTestEnv::Dir() + "/home/.rnd";
	{
		CryptoInitializer crypto;
		EXPECT_EQ(std::string(getenv("HOME")), CryptoTestEnv::Dir() + "/home");
		EXPECT_EQ(crypto.SeedFileName(), seed);
		EXPECT_TRUE(Exists(seed));
	}
	EXPECT_FALSE(Exists(seed));
	setenv("RANDFILE", saved.c_str(), 1);
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
	// Another index is free meanwhile.
	CryptoLockingCallback(CRYPTO_LOCK, 8, __FILE__, __LINE__);
	CryptoLockingCallback(CRYPTO_UNLOCK, 8, __FILE__, __LINE__);
	std::this_thread::sleep_for(std::chrono::milliseconds(100));
	EXPECT_FALSE(entered);
	CryptoLockingCallback(CRYPTO_UNLOCK, 7, __FILE__, __LINE__);
	other.join();
	EXPECT_TRUE(entered);
	EXPECT_NE(CryptoThreadIdCallback(), 0UL);
}
