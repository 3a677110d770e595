#include "PKI/CryptoInitializer.h"

#include <cstdio>
#include <map>

#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include "PKI/SeedPbe.h"
#include "PKI/aria.h"
#include "PKI/has160.h"
#include "base/Mutex.h"
#include "base/MutexLock.h"
#include "base/NetUtil.h"
#include "platform/path.h"

namespace
{

struct AddedObject
{
	const char* oid;
	const char* shortName;
	const char* longName;
};

// Objects the agent needs that the library lacks. Two of them share an OID
// with an older object (sha1WithRSAEncryption, PBE-SHA-SEED-CBC): they are
// made without an OID, so that reading the OID from a file still gives the
// older object.
const AddedObject kAddedObjects[] = {
	{"1.2.410.200004.1.2", "HAS160", "has160"},
	{nullptr, "RSA-HAS160", "has160WithRSAEncryption"},
	{"1.2.410.200004.13.1.5", "PBE-HAS160-SEED-CBC", "pbeWithHSA160AndSEED-CBC"},
	{"1.2.410.200004.1.15", "PBE-SHA-SEED-CBC", "pbeWithSHAAndSEED-CBC"},
	{nullptr, "PBE-SHA1-SEED-CBC", "pbeWithSHA1AndSEED-CBC"},
};

void CreateAddedObjects()
{
	for (const AddedObject& o : kAddedObjects)
	{
		// OBJ_create refuses a name that exists: a second start-up is harmless.
		if (OBJ_sn2nid(o.shortName) != NID_undef)
		{
			continue;
		}
		if (o.oid != nullptr)
		{
			OBJ_create(o.oid, o.shortName, o.longName);
			continue;
		}
		ASN1_OBJECT* object = ASN1_OBJECT_create(OBJ_new_nid(1), nullptr, 0, o.shortName, o.longName);
		if (object != nullptr)
		{
			OBJ_add_object(object);
			ASN1_OBJECT_free(object);
		}
	}
}

// The algorithms of our own: the HAS-160 digest, the ARIA ciphers with their
// alias names, and the SEED-based key encryption of NPKI keys.
void RegisterAddedAlgorithms()
{
	if (const EVP_MD* has160 = Has160EvpMd())
	{
		EVP_add_digest(has160);
	}
	struct AriaSize
	{
		const EVP_CIPHER* (*records[5])();
		const char* upperAlias;
		const char* lowerAlias;
		const char* cbcName;
	};
	static const AriaSize kAria[] = {
		{{AriaEvp128Ecb, AriaEvp128Cbc, AriaEvp128Cfb, AriaEvp128Cfb8, AriaEvp128Ofb}, "ARIA128", "aria128",
			"ARIA-128-CBC"},
		{{AriaEvp192Ecb, AriaEvp192Cbc, AriaEvp192Cfb, AriaEvp192Cfb8, AriaEvp192Ofb}, "ARIA192", "aria192",
			"ARIA-192-CBC"},
		{{AriaEvp256Ecb, AriaEvp256Cbc, AriaEvp256Cfb, AriaEvp256Cfb8, AriaEvp256Ofb}, "ARIA256", "aria256",
			"ARIA-256-CBC"},
	};
	for (const AriaSize& size : kAria)
	{
		for (const EVP_CIPHER* (*record)() : size.records)
		{
			if (const EVP_CIPHER* cipher = record())
			{
				EVP_add_cipher(cipher);
			}
		}
		OBJ_NAME_add(size.upperAlias, OBJ_NAME_TYPE_CIPHER_METH | OBJ_NAME_ALIAS, size.cbcName);
		OBJ_NAME_add(size.lowerAlias, OBJ_NAME_TYPE_CIPHER_METH | OBJ_NAME_ALIAS, size.cbcName);
	}
	SeedPbeRegister();
}

// Providers stay loaded until the process ends. Loading "legacy" explicitly
// stops "default" from loading by itself, so both are named; legacy gives
// the RC2-40 bags of PKCS#12.
void LoadProviders()
{
	static OSSL_PROVIDER* const defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
	static OSSL_PROVIDER* const legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
	(void)defaultProvider;
	(void)legacyProvider;
}

const int kSeedFileNameSize = 512;

// The seed file's name is the library's, a host path as it stands: it is not
// a program path to be mapped.
bool SeedFileExists(const std::string& name)
{
	return access(name.c_str(), F_OK) == 0;
}

} // namespace

CryptoInitializer::CryptoInitializer()
	: m_seedBytes(1024)
	, m_seedFileCreated(false)
{
	OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS
		| OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
	LoadProviders();
	CreateAddedObjects();
	RegisterAddedAlgorithms();

	// The library has locked itself since 1.1.0 and ignores both callbacks:
	// the locking setter is a no-op macro, and the thread-id setter is gone
	// at the interface level we build against. They are installed for the
	// releases that still call them.
	CRYPTO_set_locking_callback(CryptoLockingCallback);
#ifdef CRYPTO_set_id_callback
	CRYPTO_set_id_callback(CryptoThreadIdCallback);
#endif

	// The library reads HOME as a host folder, so the Windows-form home
	// (HOMEDRIVE and HOMEPATH) is mapped as every other path is; a drive that
	// maps to no folder leaves HOME alone.
	if (NetUtil::GetEnvVar("RANDFILE").empty() && NetUtil::GetEnvVar("HOME").empty())
	{
		const std::string home = HostPath(NetUtil::GetEnvVar("HOMEDRIVE") + NetUtil::GetEnvVar("HOMEPATH"));
		if (!home.empty())
		{
			NetUtil::SetEnvVar("HOME", home);
		}
	}
	char name[kSeedFileNameSize] = {0};
	if (RAND_file_name(name, sizeof(name)) != nullptr && name[0] != '\0')
	{
		m_seedFileName = name;
		const bool existed = SeedFileExists(m_seedFileName);
		RAND_write_file(name);
		m_seedFileCreated = !existed && SeedFileExists(m_seedFileName);
	}
	if (!m_seedFileName.empty())
	{
		RAND_load_file(m_seedFileName.c_str(), m_seedBytes);
	}
}

CryptoInitializer::~CryptoInitializer()
{
	RemoveSeedFile();
}

CryptoInitializer& CryptoInitializer::Instance()
{
	static CryptoInitializer instance;
	return instance;
}

void StartCrypto()
{
	CryptoInitializer::Instance();
}

void CryptoInitializer::RemoveSeedFile()
{
	if (!m_seedFileName.empty() && m_seedFileCreated)
	{
		std::remove(m_seedFileName.c_str());
		m_seedFileCreated = false;
	}
}

void CryptoLockingCallback(int mode, int n, const char*, int)
{
	// Created on first use and never freed: the library may still call in
	// while the process exits.
	static Mutex* const tableGuard = new Mutex;
	static std::map<int, Mutex*>* const table = new std::map<int, Mutex*>;
	Mutex* lock;
	{
		MutexLock guard(*tableGuard);
		Mutex*& slot = (*table)[n];
		if (slot == nullptr)
		{
			slot = new Mutex;
		}
		lock = slot;
	}
	if (mode & CRYPTO_LOCK)
	{
		lock->Lock();
	}
	else
	{
		lock->Unlock();
	}
}

unsigned long CryptoThreadIdCallback()
{
	return NetUtil::CurrentThreadId();
}
