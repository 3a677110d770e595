// The reader of NPKI key files (encrypted PKCS#8 under the SEED-based
// schemes), reached by the page's export and password check. A key that
// decrypts must survive being written again and read back.

#include "FuzzSupport.h"

#include "PKI/OpenSslPtr.h"
#include "PKI/cert_util.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const kPasswords[] = {"npki-Pass1!", "", "wrong"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static const std::string rewritten = FuzzScratch::Dir() + "/signPri.key";
	if (size < 1)
		return 0;
	const char* password = kPasswords[data[0] % 3];
	CryptoErrorsCleared cleared;
	PkeyPtr key(DecryptPrivateKey(data + 1, static_cast<int>(size - 1), password));
	if (!key)
		return 0;
	if (password[0] == '\0')
		FuzzFail("a key file decrypted with an empty password");
	if (WriteEncryptedPkcs8(key.get(), password, rewritten.c_str()) != 0)
		return 0; // a key the library will not write (an odd type) is no fault of the reader
	unsigned char* bytes = nullptr;
	const int length = ReadWholeFile(rewritten.c_str(), &bytes);
	MallocBytes owner(bytes);
	PkeyPtr again(DecryptPrivateKey(bytes, length, password));
	if (!again || EVP_PKEY_eq(key.get(), again.get()) != 1)
		FuzzFail("a decrypted key, written again, did not read back as the same key");
	return 0;
}
