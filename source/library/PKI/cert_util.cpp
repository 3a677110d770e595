#include "PKI/cert_util.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>


#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>

#include "PKI/CryptoInitializer.h"
#include "PKI/OpenSslPtr.h"
#include "PKI/PbeLimits.h"
#include "base/Encoding.h"
#include "base/FileUtil.h"
#include "platform/crttime.h"
#include "platform/files.h"
#include "platform/find.h"
#include "platform/text.h"

namespace
{

// Passwords are taken up to this many bytes, as the library's PEM prompt
// buffer holds them.
const int kPasswordSize = 1024;
const int kPkcs8Iterations = 2048;
const int kPkcs8SaltLength = 8;
const int kPkcs12Iterations = 2048;
const char kFriendlyName[] = "pkcs12test";
const int kSubjectTextSize = 1024;

// A malloc'd copy of the bytes with a NUL after them.
template <typename Char>
Char* MallocCopy(const void* data, size_t length)
{
	Char* copy = static_cast<Char*>(std::malloc(length + 1));
	if (copy != nullptr)
	{
		std::memcpy(copy, data, length);
		copy[length] = 0;
	}
	return copy;
}

// The password callback of d2i_PKCS8PrivateKey_bio. The library would try an
// empty password; an empty or missing one is refused here instead.
int CopyPassword(char* buffer, int size, int, void* userdata)
{
	const char* password = static_cast<const char*>(userdata);
	if (password == nullptr || password[0] == '\0')
	{
		return -1;
	}
	size_t length = std::strlen(password);
	if (length > static_cast<size_t>(size))
	{
		length = size;
	}
	std::memcpy(buffer, password, length);
	return static_cast<int>(length);
}

// A Base64 filter over `sink`, or null (the sink freed) when either is
// missing: a chain without its filter would pass the bytes through unchanged.
BioPtr Base64Over(BIO* sink)
{
	BIO* filter = BIO_new(BIO_f_base64());
	if (filter == nullptr || sink == nullptr)
	{
		BIO_free(filter);
		BIO_free(sink);
		return nullptr;
	}
	return BioPtr(BIO_push(filter, sink));
}

// Steps shared by the PKCS#12 readers: decode and open with the password.
int ParsePkcs12(const unsigned char* pfx, int len, const char* password, bool printErrorQueue, PkeyPtr& key,
	X509Ptr& cert)
{
	BioPtr bio(BIO_new(BIO_s_mem()));
	if (!bio || pfx == nullptr || len < 1 || BIO_write(bio.get(), pfx, len) < 1)
	{
		printf("Error pfxData \n");
		return -1;
	}
	Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
	if (!p12)
	{
		printf("Error reading PKCS#12 file\n");
		if (printErrorQueue)
		{
			ERR_print_errors_fp(stderr);
		}
		return -2;
	}
	EVP_PKEY* rawKey = nullptr;
	X509* rawCert = nullptr;
	if (!Pkcs12CostAcceptable(p12.get(), password) || !PKCS12_parse(p12.get(), password, &rawKey, &rawCert, nullptr))
	{
		printf("Error parsing PKCS#12 file\n");
		return -3;
	}
	key.reset(rawKey);
	cert.reset(rawCert);
	return 0;
}

// A path's UTF-16 form, in which it reaches the file system; empty, which
// names no file, for a text with a NUL.
std::u16string Wide(const std::string& utf8)
{
	std::u16string wide;
	if (!Utf8PathToUtf16(utf8, wide))
	{
		wide.clear();
		errno = ENOENT;
	}
	return wide;
}

FILE* OpenFile(const std::string& utf8Path, const char16_t* mode)
{
	return _wfopen(Wide(utf8Path).c_str(), mode);
}

bool Rename(const std::string& from, const std::string& to)
{
	return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void Delete(const std::string& path)
{
	DeleteFileW(Wide(path).c_str());
}

// A new empty file beside `path`, with a name nobody else holds, to be
// renamed over it later. Empty when none can be made there.
std::string MakeTempBeside(const std::string& path)
{
	for (int attempt = 0; attempt < 8; ++attempt)
	{
		unsigned char random[6];
		char* hex = nullptr;
		if (RAND_bytes(random, sizeof(random)) != 1 || BytesToHex(random, sizeof(random), 0, &hex) < 1)
		{
			return std::string();
		}
		const std::string name = path + "." + hex + ".tmp";
		std::free(hex);
		FilePtr file(OpenFile(name, u"wbx"));
		if (file)
		{
			return name;
		}
		if (errno != EEXIST)
		{
			return std::string();
		}
	}
	return std::string();
}

// The path under the name its file already has on disk when that differs
// only in letter case (SignCert.der for signCert.der): Windows replaces such
// a file and keeps its name, so the folder never holds both spellings. The
// path itself when there is no such file.
std::string ExistingSpelling(const std::string& path)
{
	const size_t split = path.find_last_of("\\/");
	const std::string folder = split == std::string::npos ? std::string() : path.substr(0, split + 1);
	const std::string name = path.substr(folder.size());
	if (name.empty() || name.find_first_of("*?") != std::string::npos)
	{
		return path;
	}
	WIN32_FIND_DATAW data;
	HANDLE search = FindFirstFileW(Wide(path).c_str(), &data);
	if (search == INVALID_HANDLE_VALUE)
	{
		return path;
	}
	std::string found;
	do
	{
		const std::string candidate = WideToUtf8(data.cFileName);
		if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (found.empty() || candidate == name))
		{
			found = candidate;
		}
	} while (found != name && FindNextFileW(search, &data));
	FindClose(search);
	return found.empty() ? path : folder + found;
}

// Renames the two finished temporary files over their targets. The old
// certificate is kept aside until the key is in place too, so that a failed
// second rename puts it back instead of leaving a new certificate beside an
// old key.
bool MovePairIntoPlace(const std::string& derTemp, const std::string& derTarget, const std::string& keyTemp,
	const std::string& keyTarget)
{
	const std::string backup = MakeTempBeside(derTarget);
	if (backup.empty())
	{
		return false;
	}
	const bool hadCertificate = Rename(derTarget, backup);
	bool placed = false;
	if (Rename(derTemp, derTarget))
	{
		placed = Rename(keyTemp, keyTarget);
		if (!placed && !hadCertificate)
		{
			Delete(derTarget);
		}
	}
	if (hadCertificate && !placed)
	{
		Rename(backup, derTarget);
	}
	Delete(backup);
	return placed;
}

bool WriteCertificate(X509* cert, const std::string& path)
{
	unsigned char* der = nullptr;
	int length = i2d_X509(cert, &der);
	if (length < 1)
	{
		return false;
	}
	FilePtr file(OpenFile(path, u"wb"));
	bool ok = file && std::fwrite(der, 1, length, file.get()) == static_cast<size_t>(length);
	OPENSSL_free(der);
	return ok && std::fclose(file.release()) == 0;
}

// The subject as the import's folder name: every entry from the last to the
// first, "sn=value", comma-separated; an empty value is written too
// ("title="), as the certificate record keeps it. False when it would not
// fit the 1024-byte buffer (a cut text would name another folder).
bool SubjectText(X509_NAME* name, std::string& text)
{
	const char* separator = "";
	for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i)
	{
		X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
		const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
		if (data == nullptr)
		{
			continue;
		}
		text += separator;
		separator = ",";
		for (const char* c = OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry))); *c != '\0'; ++c)
		{
			text += LowerAscii(*c);
		}
		text += '=';
		text.append(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)), ASN1_STRING_length(data));
		if (text.size() >= static_cast<size_t>(kSubjectTextSize))
		{
			return false;
		}
	}
	return true;
}

// The data of the first subject entry with this NID.
bool SubjectEntry(X509_NAME* name, int nid, std::string& text)
{
	int index = X509_NAME_get_index_by_NID(name, nid, -1);
	if (index < 0)
	{
		return false;
	}
	const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
	if (data == nullptr)
	{
		return false;
	}
	text.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)), ASN1_STRING_length(data));
	return true;
}

// `count` decimal digits from `text`, or -1.
int Digits(const unsigned char* text, int count)
{
	int value = 0;
	for (int i = 0; i < count; ++i)
	{
		if (!std::isdigit(text[i]))
		{
			return -1;
		}
		value = value * 10 + (text[i] - '0');
	}
	return value;
}

} // namespace

int64_t MkTime64(struct tm* fields)
{
	return _mktime64(fields);
}

int ReadWholeFile(const char* utf8Path, unsigned char** out)
{
	if (utf8Path == nullptr)
	{
		return -1;
	}
	FilePtr file(OpenFile(utf8Path, u"rb"));
	if (!file)
	{
		return -1;
	}
	if (std::fseek(file.get(), 0, SEEK_END) != 0)
	{
		return -2;
	}
	long size = std::ftell(file.get());
	if (size < 1 || size > kMaxWholeFileSize || std::fseek(file.get(), 0, SEEK_SET) != 0)
	{
		return -2;
	}
	unsigned char* buffer = static_cast<unsigned char*>(std::malloc(size));
	if (buffer == nullptr || std::fread(buffer, 1, size, file.get()) != static_cast<size_t>(size))
	{
		std::free(buffer);
		return -2;
	}
	*out = buffer;
	return static_cast<int>(size);
}

int DecodeDerCertificate(X509** out, const unsigned char* data, int len)
{
	StartCrypto();
	if (data == nullptr || len < 1)
	{
		return -1;
	}
	X509* cert = d2i_X509(nullptr, &data, len);
	if (cert == nullptr)
	{
		return -1;
	}
	*out = cert;
	return 1;
}

EVP_PKEY* DecryptPrivateKey(const unsigned char* data, int len, const char* password)
{
	StartCrypto();
	if (data == nullptr || len < 1)
	{
		return nullptr;
	}
	SigPtr sig(d2i_X509_SIG(nullptr, &data, len));
	const X509_ALGOR* algorithm = nullptr;
	if (sig)
	{
		X509_SIG_get0(sig.get(), &algorithm, nullptr);
	}
	if (!sig || !PbeCostAcceptable(algorithm))
	{
		return nullptr;
	}
	char buffer[kPasswordSize];
	const int passlen = CopyPassword(buffer, sizeof(buffer), 0, const_cast<char*>(password));
	if (passlen < 1)
	{
		return nullptr;
	}
	P8InfoPtr info(PKCS8_decrypt(sig.get(), buffer, passlen));
	OPENSSL_cleanse(buffer, sizeof(buffer));
	return info ? EVP_PKCS82PKEY(info.get()) : nullptr;
}

int BioBase64Encode(const unsigned char* data, int len, char** out)
{
	if (data == nullptr || len < 1)
	{
		return 0;
	}
	BioPtr chain(Base64Over(BIO_new(BIO_s_mem())));
	if (!chain || BIO_write(chain.get(), data, len) != len || BIO_flush(chain.get()) != 1)
	{
		return 0;
	}
	BUF_MEM* buffer = nullptr;
	BIO_get_mem_ptr(chain.get(), &buffer);
	if (buffer == nullptr || buffer->length < 1)
	{
		return 0;
	}
	// The filter ends the text with a line feed, which is not kept.
	const size_t length = buffer->length - 1;
	char* text = MallocCopy<char>(buffer->data, length);
	if (text == nullptr)
	{
		return 0;
	}
	*out = text;
	return static_cast<int>(length);
}

int BioBase64Decode(const char* text, int len, unsigned char** out)
{
	if (text == nullptr || len < 1)
	{
		return 0;
	}
	// Decoding never gives more bytes than the text has characters.
	unsigned char* bytes = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(len) + 1));
	if (bytes == nullptr)
	{
		return 0;
	}
	BioPtr chain(Base64Over(BIO_new_mem_buf(text, len)));
	int read = 0;
	if (chain)
	{
		BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
		read = BIO_read(chain.get(), bytes, len);
	}
	if (read < 1)
	{
		std::free(bytes);
		return read < 0 ? read : 0;
	}
	bytes[read] = 0;
	*out = bytes;
	return read;
}

int WriteEncryptedPkcs8(EVP_PKEY* key, const char* password, const char* path)
{
	StartCrypto();
	if (key == nullptr)
	{
		return -1;
	}
	P8InfoPtr info(EVP_PKEY2PKCS8(key));
	if (!info)
	{
		return -1;
	}
	char buffer[kPasswordSize];
	int passlen = CopyPassword(buffer, sizeof(buffer), 0, const_cast<char*>(password));
	// The salt is random: readers take it from the file.
	unsigned char salt[kPkcs8SaltLength];
	if (passlen < 1 || RAND_bytes(salt, sizeof(salt)) != 1)
	{
		return -2;
	}
	SigPtr sig(PKCS8_encrypt(OBJ_txt2nid("PBE-SHA-SEED-CBC"), nullptr, buffer, passlen, salt, sizeof(salt),
		kPkcs8Iterations, info.get()));
	OPENSSL_cleanse(buffer, sizeof(buffer));
	if (!sig)
	{
		return -2;
	}
	FilePtr file(path != nullptr ? OpenFile(path, u"wb") : nullptr);
	BioPtr bio(file ? BIO_new_fp(file.get(), BIO_NOCLOSE) : nullptr);
	if (!bio || i2d_PKCS8_bio(bio.get(), sig.get()) != 1 || BIO_flush(bio.get()) != 1
		|| std::fclose(file.release()) != 0)
	{
		return -3;
	}
	return 0;
}

int Pkcs12ToFiles(const unsigned char* pfx, int len, const char* derOutPath, const char* keyOutPath,
	const char* pfxPassword, const char* keyPassword)
{
	StartCrypto();
	PkeyPtr key;
	X509Ptr cert;
	int rc = ParsePkcs12(pfx, len, pfxPassword, false, key, cert);
	if (rc != 0)
	{
		return rc;
	}
	// Nothing touches the disk unless both halves of the pair are there.
	if (!key)
	{
		return -5;
	}
	if (!cert)
	{
		return -6;
	}
	// Both files are written beside their targets and renamed into place
	// only when both are complete.
	const std::string derTarget = derOutPath != nullptr ? ExistingSpelling(derOutPath) : "";
	const std::string keyTarget = keyOutPath != nullptr ? ExistingSpelling(keyOutPath) : "";
	std::string derTemp = derTarget.empty() || keyTarget.empty() ? std::string() : MakeTempBeside(derTarget);
	std::string keyTemp = derTemp.empty() ? std::string() : MakeTempBeside(keyTarget);
	if (derTemp.empty() || keyTemp.empty())
	{
		printf("Error opening file \n");
		rc = -4;
	}
	else if (!WriteCertificate(cert.get(), derTemp))
	{
		rc = -4;
	}
	else if (WriteEncryptedPkcs8(key.get(), keyPassword, keyTemp.c_str()) < 0)
	{
		rc = -5;
	}
	else if (!MovePairIntoPlace(derTemp, derTarget, keyTemp, keyTarget))
	{
		rc = -4;
	}
	if (rc != 0)
	{
		if (!derTemp.empty())
		{
			Delete(derTemp);
		}
		if (!keyTemp.empty())
		{
			Delete(keyTemp);
		}
	}
	return rc;
}

int FilesToPkcs12(const char* certPath, const char* keyPath, const char* keyPassword, const char* pfxPassword,
	unsigned char** out)
{
	StartCrypto();
	unsigned char* bytes = nullptr;
	int length = ReadWholeFile(certPath, &bytes);
	if (length < 1)
	{
		return -1;
	}
	X509* rawCert = nullptr;
	int decoded = DecodeDerCertificate(&rawCert, bytes, length);
	std::free(bytes);
	if (decoded != 1)
	{
		return -2;
	}
	X509Ptr cert(rawCert);
	bytes = nullptr;
	length = ReadWholeFile(keyPath, &bytes);
	if (length < 1)
	{
		return -3;
	}
	PkeyPtr key(DecryptPrivateKey(bytes, length, keyPassword));
	std::free(bytes);
	if (!key)
	{
		return -4;
	}
	// The bag algorithms, iterations and MAC are named: the library's defaults
	// changed (PBES2/AES, SHA-256 MAC) and NPKI readers expect these.
	Pkcs12Ptr p12(PKCS12_create(pfxPassword, kFriendlyName, key.get(), cert.get(), nullptr,
		NID_pbe_WithSHA1And3_Key_TripleDES_CBC, NID_pbe_WithSHA1And40BitRC2_CBC, kPkcs12Iterations, -1, 0));
	if (!p12 || !PKCS12_set_mac(p12.get(), pfxPassword, -1, nullptr, 0, 1, EVP_sha1()))
	{
		return -5;
	}
	BioPtr bio(BIO_new(BIO_s_mem()));
	if (!bio || i2d_PKCS12_bio(bio.get(), p12.get()) != 1)
	{
		return -7;
	}
	BUF_MEM* buffer = nullptr;
	BIO_get_mem_ptr(bio.get(), &buffer);
	if (buffer == nullptr || buffer->length < 1)
	{
		return 0;
	}
	unsigned char* der = MallocCopy<unsigned char>(buffer->data, buffer->length);
	if (der == nullptr)
	{
		return -7;
	}
	*out = der;
	return static_cast<int>(buffer->length);
}

int Pkcs12GetProperty(const unsigned char* pfx, int len, const char* password, int selector, char** out)
{
	StartCrypto();
	PkeyPtr key;
	X509Ptr cert;
	int rc = ParsePkcs12(pfx, len, password, true, key, cert);
	if (rc != 0)
	{
		return rc;
	}
	if (!cert)
	{
		return 0;
	}
	X509_NAME* subject = X509_get_subject_name(cert.get());
	std::string text;
	switch (selector)
	{
	case Pkcs12Sha1:
	{
		unsigned char* der = nullptr;
		int derLength = i2d_X509(cert.get(), &der);
		unsigned char* digest = nullptr;
		int digestLength = derLength > 0 ? DigestByName("SHA1", der, derLength, &digest) : 0;
		OPENSSL_free(der);
		if (digestLength < 1)
		{
			return 0;
		}
		char* hex = nullptr;
		int hexLength = BytesToHex(digest, digestLength, 1, &hex);
		std::free(digest);
		if (hexLength < 1)
		{
			return 0;
		}
		*out = hex;
		return hexLength;
	}
	case Pkcs12FolderName:
		if (!SubjectText(subject, text) || !IsSafeFolderName(text))
		{
			return 0;
		}
		break;
	case Pkcs12CommonName:
		SubjectEntry(subject, NID_commonName, text);
		break;
	case Pkcs12Organization:
		if (SubjectEntry(subject, NID_organizationName, text) && !IsSafeFolderName(text))
		{
			return 0;
		}
		break;
	default:
		return -4;
	}
	if (text.empty())
	{
		return 0;
	}
	char* copy = MallocCopy<char>(text.data(), text.size());
	if (copy == nullptr)
	{
		return 0;
	}
	*out = copy;
	return static_cast<int>(text.size());
}

int DigestByName(const char* name, const unsigned char* data, int len, unsigned char** out)
{
	StartCrypto();
	const EVP_MD* md = name != nullptr ? EVP_get_digestbyname(name) : nullptr;
	if (md == nullptr || len < 0 || (data == nullptr && len > 0))
	{
		return 0;
	}
	MdCtxPtr ctx(EVP_MD_CTX_new());
	unsigned char digest[EVP_MAX_MD_SIZE];
	unsigned int length = 0;
	if (!ctx || !EVP_DigestInit_ex(ctx.get(), md, nullptr) || !EVP_DigestUpdate(ctx.get(), data, len)
		|| !EVP_DigestFinal_ex(ctx.get(), digest, &length) || length == 0)
	{
		return 0;
	}
	unsigned char* copy = static_cast<unsigned char*>(std::malloc(length));
	if (copy == nullptr)
	{
		return 0;
	}
	std::memcpy(copy, digest, length);
	*out = copy;
	return static_cast<int>(length);
}

int64_t AsnTimeToTime(const ASN1_TIME* time)
{
	if (time == nullptr)
	{
		return 0;
	}
	const int type = ASN1_STRING_type(time);
	const unsigned char* text = ASN1_STRING_get0_data(time);
	const int length = ASN1_STRING_length(time);
	const int yearDigits = type == V_ASN1_UTCTIME ? 2 : type == V_ASN1_GENERALIZEDTIME ? 4 : 0;
	// The library accepts malformed times in certificates: the year and the
	// five two-digit fields must all be there and be digits.
	if (yearDigits == 0 || text == nullptr || length < yearDigits + 10)
	{
		return 0;
	}
	int year = Digits(text, yearDigits);
	int fields[5];
	for (int i = 0; i < 5; ++i)
	{
		fields[i] = Digits(text + yearDigits + 2 * i, 2);
		if (fields[i] < 0)
		{
			return 0;
		}
	}
	if (year < 0)
	{
		return 0;
	}
	struct tm t;
	std::memset(&t, 0, sizeof(t));
	t.tm_year = yearDigits == 2 ? (year < 70 ? year + 100 : year) : year - 1900;
	t.tm_mon = fields[0] - 1;
	t.tm_mday = fields[1];
	t.tm_hour = fields[2];
	t.tm_min = fields[3];
	t.tm_sec = fields[4];
	t.tm_isdst = 0;
	return MkTime64(&t);
}

char* BytesToHexUpper(const unsigned char* bytes, int len)
{
	static const char kDigits[] = "0123456789ABCDEF";
	if (bytes == nullptr || len < 1)
	{
		return nullptr;
	}
	char* text = static_cast<char*>(OPENSSL_zalloc(2 * static_cast<size_t>(len) + 1));
	if (text == nullptr)
	{
		ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
		return nullptr;
	}
	for (int i = 0; i < len; ++i)
	{
		text[2 * i] = kDigits[bytes[i] >> 4];
		text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
	}
	return text;
}

int BytesToHex(const unsigned char* bytes, int len, int, char** out)
{
	char* hex = BytesToHexUpper(bytes, len);
	if (hex == nullptr)
	{
		return 0;
	}
	const size_t length = std::strlen(hex);
	char* copy = MallocCopy<char>(hex, length);
	OPENSSL_free(hex);
	if (copy == nullptr)
	{
		return 0;
	}
	*out = copy;
	return static_cast<int>(length);
}
