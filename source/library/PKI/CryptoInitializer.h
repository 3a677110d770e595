#pragma once

#include <string>

// Prepares the crypto library for every user in the process: initialises it,
// loads the "default" and "legacy" providers, creates the objects NPKI needs
// (HAS-160, RSA with HAS-160, the SEED-based PBE schemes), registers the
// HAS-160 digest, the ARIA ciphers and the SEED-based key encryption, installs
// the locking callbacks and seeds the random generator from a seed file.
//
// A static object in a static library is dropped by the linker when nothing
// refers to it, so the start-up is reached by an explicit call instead,
// StartCrypto() below. The one instance is built on the first call and
// destroyed at process exit.
class CryptoInitializer
{
public:
	CryptoInitializer();
	~CryptoInitializer();
	CryptoInitializer(const CryptoInitializer&) = delete;
	CryptoInitializer& operator=(const CryptoInitializer&) = delete;

	// The process's one start-up, run on the first call.
	static CryptoInitializer& Instance();

	// Deletes the seed file, but only when this object created it: a seed
	// file that was there before the program ran is the user's.
	void RemoveSeedFile();

	const std::string& SeedFileName() const { return m_seedFileName; }

private:
	std::string m_seedFileName;
	int m_seedBytes;
	bool m_seedFileCreated;
};

// The crypto start-up of the process. The program's entry calls it first,
// before it starts a thread, creates the certificate store or sets up TLS,
// so that every user of the library finds it prepared and HOME settled. The
// certificate utilities and the TLS set-up call it as well before their
// first use (later calls do nothing), so that the libraries also work in
// programs without that entry, such as their tests.
void StartCrypto();

// The library's locking and thread-id callbacks: one mutex per lock index.
void CryptoLockingCallback(int mode, int n, const char* file, int line);
unsigned long CryptoThreadIdCallback();
