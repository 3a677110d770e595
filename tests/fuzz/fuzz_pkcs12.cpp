// The PKCS#12 readers behind the page's import and inspection: Base64 text
// to certificate, key and subject. The fuzzer mutates the PKCS#12's DER (so
// that its mutations mean something to the ASN.1 reader); the target writes
// it as Base64 and goes in through the same door as a page. An import that
// succeeds must leave a certificate and a key file that read back.

#include "FuzzSupport.h"

#include "PKI/NpkiStore.h"
#include "PKI/OpenSslPtr.h"
#include "PKI/cert_util.h"
#include "base/Base64.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char kPfxPassword[] = "pfx-Pass2?";
const char kKeyPassword[] = "npki-Pass1!";

std::string ReadBack(const std::string& path)
{
	unsigned char* bytes = nullptr;
	const int length = ReadWholeFile(path.c_str(), &bytes);
	MallocBytes owner(bytes);
	return length > 0 ? std::string(reinterpret_cast<char*>(bytes), static_cast<size_t>(length)) : std::string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static NpkiStore store;
	static const std::string der = FuzzScratch::Dir() + "/signCert.der";
	static const std::string key = FuzzScratch::Dir() + "/signPri.key";
	if (size < 1)
		return 0;
	// First byte: the password (the real one or none) and the property asked.
	const char* password = (data[0] & 1) != 0 ? "" : kPfxPassword;
	const int selector = (data[0] >> 1) % 5;
	std::string pfxBase64;
	Base64::Encode(reinterpret_cast<const char*>(data + 1), size - 1, pfxBase64, false);

	CryptoErrorsCleared cleared;
	std::string property;
	store.InspectPfxBase64(pfxBase64, password, selector, &property);

	std::remove(der.c_str());
	std::remove(key.c_str());
	if (store.ImportPfxBase64(pfxBase64, der, key, password, kKeyPassword))
	{
		const std::string cert = ReadBack(der);
		X509* decoded = nullptr;
		if (DecodeDerCertificate(&decoded, reinterpret_cast<const unsigned char*>(cert.data()),
				static_cast<int>(cert.size())) != 1)
			FuzzFail("an import wrote a certificate that does not decode");
		X509_free(decoded);
		const std::string keyFile = ReadBack(key);
		PkeyPtr pkey(DecryptPrivateKey(reinterpret_cast<const unsigned char*>(keyFile.data()),
			static_cast<int>(keyFile.size()), kKeyPassword));
		if (!pkey)
			FuzzFail("an import wrote a key file that does not decrypt with its password");
	}
	return 0;
}
