#include "PKI/cert_util.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include "library/PKI/CryptoTestEnv.h"
#include "support/Shell.h"
#include "support/TempFolder.h"

namespace
{

const std::string kKeys = ZC_TEST_DATA_DIR "/keys/";
const char kKeyPassword[] = "npki-Pass1!";
const char kPfxPassword[] = "pfx-Pass2?";

using Bytes = std::vector<unsigned char>;
using Subject = std::vector<std::pair<const char*, std::string>>;

Bytes Load(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Save(const std::string& path, const Bytes& bytes)
{
	std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// An object's DER bytes by its i2d function; none for no object.
template <class T, class Encode>
Bytes Der(const T* object, Encode encode)
{
	unsigned char* der = nullptr;
	const int length = object != nullptr ? encode(object, &der) : 0;
	Bytes bytes(der, der + std::max(length, 0));
	OPENSSL_free(der);
	return bytes;
}

template <class T, class Decode>
std::unique_ptr<T, void (*)(T*)> Parse(const Bytes& bytes, Decode decode, void (*free)(T*))
{
	const unsigned char* p = bytes.data();
	return {decode(nullptr, &p, static_cast<long>(bytes.size())), free};
}

// The reference key, as openssl wrote it unencrypted.
std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> ReferenceKey()
{
	return Parse(Load(kKeys + "key.p8.der"), d2i_AutoPrivateKey, EVP_PKEY_free);
}

bool IsReferenceKey(EVP_PKEY* key)
{
	const bool same = key != nullptr && EVP_PKEY_eq(key, ReferenceKey().get()) == 1;
	EVP_PKEY_free(key);
	return same;
}

EVP_PKEY* Decrypt(const Bytes& file, const char* password)
{
	return DecryptPrivateKey(file.data(), static_cast<int>(file.size()), password);
}

// A PKCS#12 (password kPfxPassword) of the reference key and a certificate
// whose subject holds these UTF8String entries in order, NULs and empty values included.
Bytes Pkcs12WithSubject(const Subject& entries)
{
	auto key = ReferenceKey();
	auto cert = Parse(Load(kKeys + "signCert.der"), d2i_X509, X509_free);
	std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
	for (const auto& entry : entries)
		EXPECT_EQ(1, X509_NAME_add_entry_by_txt(name.get(), entry.first, V_ASN1_UTF8STRING,
			reinterpret_cast<const unsigned char*>(entry.second.data()), static_cast<int>(entry.second.size()), -1, 0));
	X509_set_subject_name(cert.get(), name.get());
	EXPECT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
	std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(
		PKCS12_create(kPfxPassword, nullptr, key.get(), cert.get(), nullptr, 0, 0, 0, 0, 0), PKCS12_free);
	return Der(p12.get(), i2d_PKCS12);
}

// Pkcs12GetProperty's text, or its code as text.
std::string Property(const Bytes& pfx, int selector, const char* password = kPfxPassword)
{
	char* out = nullptr;
	const int rc = Pkcs12GetProperty(pfx.data(), static_cast<int>(pfx.size()), password, selector, &out);
	std::string text = rc > 0 ? std::string(out, rc) : std::to_string(rc);
	std::free(out);
	return text;
}

// The PBEParameter of an algorithm identifier with another iteration count.
void SetIterations(X509_ALGOR* algorithm, int64_t count)
{
	PBEPARAM* pbe = static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), algorithm->parameter));
	ASSERT_NE(pbe, nullptr);
	ASN1_INTEGER_set_int64(pbe->iter, count);
	EXPECT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBEPARAM), pbe, &algorithm->parameter), nullptr);
	PBEPARAM_free(pbe);
}

// legacy.p12 (shrouded key bag in plain contents, certificate in encrypted
// contents) with a count changed as a hostile sender would: the MAC's as it
// stands, the others with a MAC made anew over the changed contents.
enum class Count { Mac, EncryptedContents, KeyBag };
Bytes Pkcs12WithIterations(Count which, int64_t count)
{
	auto p12 = Parse(Load(kKeys + "legacy.p12"), d2i_PKCS12, PKCS12_free);
	if (which == Count::Mac)
	{
		const ASN1_INTEGER* macCount = nullptr;
		PKCS12_get0_mac(nullptr, nullptr, nullptr, &macCount, p12.get());
		ASN1_INTEGER_set_int64(const_cast<ASN1_INTEGER*>(macCount), count);
		return Der(p12.get(), i2d_PKCS12);
	}
	STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12.get());
	for (int i = 0; i < sk_PKCS7_num(safes); ++i)
	{
		PKCS7* safe = sk_PKCS7_value(safes, i);
		if (which == Count::EncryptedContents && OBJ_obj2nid(safe->type) == NID_pkcs7_encrypted)
			SetIterations(safe->d.encrypted->enc_data->algorithm, count);
		if (which == Count::KeyBag && OBJ_obj2nid(safe->type) == NID_pkcs7_data)
		{
			STACK_OF(PKCS12_SAFEBAG)* bags = PKCS12_unpack_p7data(safe);
			X509_ALGOR* algorithm = nullptr;
			X509_SIG_getm(const_cast<X509_SIG*>(PKCS12_SAFEBAG_get0_pkcs8(sk_PKCS12_SAFEBAG_value(bags, 0))),
				&algorithm, nullptr);
			SetIterations(algorithm, count);
			PKCS7_free(safe);
			sk_PKCS7_set(safes, i, PKCS12_pack_p7data(bags));
			sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
		}
	}
	EXPECT_EQ(1, PKCS12_pack_authsafes(p12.get(), safes));
	sk_PKCS7_pop_free(safes, PKCS7_free);
	EXPECT_EQ(1, PKCS12_set_mac(p12.get(), kPfxPassword, -1, nullptr, 0, 1, EVP_sha1()));
	return Der(p12.get(), i2d_PKCS12);
}

class CertUtil : public ::testing::Test
{
protected:
	// Pkcs12ToFiles of a fixture (or these bytes) into <folder>signCert.der and <folder>signPri.key.
	int Import(const Bytes& p12, const char* pfxPassword, const char* keyPassword, const std::string& folder = "")
	{
		const std::string to = folder.empty() ? m_dir : folder;
		return Pkcs12ToFiles(p12.empty() ? nullptr : p12.data(), static_cast<int>(p12.size()),
			(to + "signCert.der").c_str(), (to + "signPri.key").c_str(), pfxPassword, keyPassword);
	}
	long Entries(const std::string& folder)
	{
		return std::distance(std::filesystem::directory_iterator(folder), {});
	}

	TempFolder m_temp;
	const std::string m_dir = m_temp.Path() + "/";
};

} // namespace

TEST_F(CertUtil, ReadWholeFile)
{
	unsigned char* out = nullptr;
	EXPECT_EQ(ReadWholeFile((m_dir + "missing").c_str(), &out), -1);
	Save(m_dir + "empty", {});
	EXPECT_EQ(ReadWholeFile((m_dir + "empty").c_str(), &out), -2);
	const Bytes cert = Load(kKeys + "signCert.der");
	ASSERT_EQ(ReadWholeFile((kKeys + "signCert.der").c_str(), &out), static_cast<int>(cert.size()));
	EXPECT_EQ(Bytes(out, out + cert.size()), cert);
	std::free(out);
	// A character cut off at the end reads as U+FFFD, as every file call
	// reads it: never the file named by the bytes before it.
	for (const char* cut : {"\xE2", "\xE2\x82", "\xF0\x9F\x98", "\xC3"})
		EXPECT_EQ(ReadWholeFile((m_dir + "empty" + cut).c_str(), &out), -1) << cut;
	Save(m_dir + "empty\xEF\xBF\xBD", {'x'});
	ASSERT_EQ(ReadWholeFile((m_dir + "empty\xE2\x82").c_str(), &out), 1);
	EXPECT_EQ(out[0], 'x');
	std::free(out);
	// Up to 1 MiB is read; a larger file (sparse here) is refused unread.
	for (const off_t size : {off_t(1) << 20, (off_t(1) << 20) + 1, off_t(1) << 26})
	{
		Save(m_dir + "big", {});
		ASSERT_EQ(truncate((m_dir + "big").c_str(), size), 0);
		out = nullptr;
		EXPECT_EQ(ReadWholeFile((m_dir + "big").c_str(), &out), size <= kMaxWholeFileSize ? size : -2) << size;
		std::free(out);
	}
}

// Base64 against OpenSSL's block encoder, with the filter's line feed after
// every 64 characters; "=" and "==" alone must not overflow the output.
TEST_F(CertUtil, Base64)
{
	std::mt19937 random(7);
	unsigned char* decoded = nullptr;
	for (int len : {1, 2, 3, 47, 48, 49, 100, 190})
	{
		Bytes data(len);
		std::generate(data.begin(), data.end(), [&] { return static_cast<unsigned char>(random()); });
		std::string line(4 * ((len + 2) / 3) + 1, '\0');
		line.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&line[0]), data.data(), len));
		std::string lines = line;
		for (size_t i = 64; i < lines.size(); i += 65)
			lines.insert(i, "\n");
		char* text = nullptr;
		ASSERT_EQ(BioBase64Encode(data.data(), len, &text), static_cast<int>(lines.size()));
		EXPECT_EQ(text, lines);
		std::free(text);
		ASSERT_EQ(BioBase64Decode(line.c_str(), static_cast<int>(line.size()), &decoded), len);
		EXPECT_EQ(Bytes(decoded, decoded + len), data);
		EXPECT_EQ(decoded[len], 0);
		std::free(decoded);
		if (lines.size() > line.size())
		{
			EXPECT_LE(BioBase64Decode(lines.c_str(), static_cast<int>(lines.size()), &decoded), 0);
		}
	}
	decoded = nullptr;
	EXPECT_LE(BioBase64Decode("=", 1, &decoded), 0);
	EXPECT_LE(BioBase64Decode("==", 2, &decoded), 0);
	EXPECT_EQ(decoded, nullptr);
}

// Key files made by openssl and hashlib alone, in all three schemes. They
// stand on our own SEED-CBC, so they also read where the library's legacy
// provider cannot load (a child that has not started the library yet).
TEST_F(CertUtil, DecryptsIndependentNpkiKeys)
{
	auto readsAll = [&] {
		bool ok = true;
		for (const char* scheme : {"seed", "seedcbc", "pbes2"})
		{
			const Bytes file = Load(kKeys + "signPri." + scheme + ".key");
			ok = ok && IsReferenceKey(Decrypt(file, kKeyPassword)) && !Decrypt(file, "wrong") && !Decrypt(file, "")
				&& !Decrypt(file, nullptr);
		}
		return ok;
	};
	if (!CryptoTestEnv::Started())
	{
		EXPECT_TRUE(CryptoTestEnv::InChild([&] {
			setenv("OPENSSL_MODULES", "/nonexistent", 1);
			const std::string file = m_dir + "signPri.key";
			return readsAll() && WriteEncryptedPkcs8(ReferenceKey().get(), "p", file.c_str()) == 0
				&& IsReferenceKey(Decrypt(Load(file), "p")) && !OSSL_PROVIDER_available(nullptr, "legacy");
		}));
	}
	EXPECT_TRUE(readsAll());
	EXPECT_EQ(DecryptPrivateKey(nullptr, 10, kKeyPassword), nullptr);
}

// What we write must decrypt by the independent route, with a fresh random
// salt each time and never the password in it.
TEST_F(CertUtil, WrittenKeysDecryptIndependently)
{
	auto key = ReferenceKey();
	const std::string file = m_dir + "signPri.key";
	std::string salts[2];
	for (std::string& salt : salts)
	{
		ASSERT_EQ(WriteEncryptedPkcs8(key.get(), kKeyPassword, file.c_str()), 0);
		std::istringstream report(Shell("python3 " + kKeys + "npki_keys.py decrypt " + file + " '" + kKeyPassword
			+ "' " + m_dir + "plain.der"));
		std::string scheme;
		int iterations = 0;
		report >> scheme >> salt >> iterations;
		EXPECT_EQ(scheme, "seed") << report.str();
		EXPECT_EQ(iterations, 2048);
		EXPECT_EQ(Load(m_dir + "plain.der"), Load(kKeys + "key.p8.der"));
		EXPECT_TRUE(IsReferenceKey(Decrypt(Load(file), kKeyPassword)));
	}
	EXPECT_EQ(salts[0].size(), 16u);
	EXPECT_NE(salts[0], salts[1]);
	EXPECT_EQ(WriteEncryptedPkcs8(nullptr, kKeyPassword, (m_dir + "x").c_str()), -1);
	EXPECT_EQ(WriteEncryptedPkcs8(key.get(), "", (m_dir + "x").c_str()), -2);
	EXPECT_EQ(WriteEncryptedPkcs8(key.get(), kKeyPassword, (m_dir + "no/such/x").c_str()), -3);
}

// Our PKCS#12 opens with openssl and shows the agreed bags and MAC; openssl's
// own (legacy and PBES2/AES) import, with no temporary file left beside the pair.
TEST_F(CertUtil, Pkcs12RoundTripsWithOpenssl)
{
	unsigned char* pfx = nullptr;
	const int length = FilesToPkcs12((kKeys + "signCert.der").c_str(), (kKeys + "signPri.seed.key").c_str(),
		kKeyPassword, kPfxPassword, &pfx);
	ASSERT_GT(length, 0);
	const Bytes ours(pfx, pfx + length);
	std::free(pfx);
	Save(m_dir + "ours.p12", ours);
	const std::string info = Shell("openssl pkcs12 -info -legacy -nokeys -in " + m_dir + "ours.p12 -passin 'pass:"
		+ kPfxPassword + "'");
	for (const char* line : {"MAC: sha1, Iteration 1\n", "friendlyName: pkcs12test",
			 "Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048",
			 "PKCS7 Encrypted data: pbeWithSHA1And40BitRC2-CBC, Iteration 2048"})
		EXPECT_NE(info.find(line), std::string::npos) << line << info;
	for (const Bytes& p12 : {Load(kKeys + "legacy.p12"), Load(kKeys + "aes.p12"), ours})
	{
		ASSERT_EQ(Import(p12, kPfxPassword, "new-pass"), 0);
		EXPECT_EQ(Load(m_dir + "signCert.der"), Load(kKeys + "signCert.der"));
		EXPECT_TRUE(IsReferenceKey(Decrypt(Load(m_dir + "signPri.key"), "new-pass")));
	}
	EXPECT_EQ(Entries(m_dir), 3);
	EXPECT_EQ(FilesToPkcs12((kKeys + "signCert.der").c_str(), (kKeys + "signPri.seed.key").c_str(), "wrong",
		kPfxPassword, &pfx), -4);
	EXPECT_EQ(FilesToPkcs12((kKeys + "key.p8.der").c_str(), (kKeys + "signPri.seed.key").c_str(), kKeyPassword,
		kPfxPassword, &pfx), -2);
}

// An import writes both files or leaves the folder as it was, and says why on
// standard output.
TEST_F(CertUtil, Pkcs12ToFilesWritesBothOrNothing)
{
	const Bytes old = {'o', 'l', 'd'};
	const Bytes legacy = Load(kKeys + "legacy.p12");
	Save(m_dir + "signCert.der", old);
	Save(m_dir + "signPri.key", old);
	EXPECT_EQ(Import(Load(kKeys + "nokey.p12"), kPfxPassword, "k"), -5);
	EXPECT_EQ(Import(Load(kKeys + "nocert.p12"), kPfxPassword, "k"), -6);
	EXPECT_EQ(Import(legacy, kPfxPassword, ""), -5);
	testing::internal::CaptureStdout();
	EXPECT_EQ(Import({}, kPfxPassword, "k"), -1);
	EXPECT_EQ(Import(Load(kKeys + "key.p8.der"), kPfxPassword, "k"), -2);
	EXPECT_EQ(Import(legacy, "wrong", "k"), -3);
	EXPECT_EQ(Import(legacy, kPfxPassword, "k", m_dir + "no/such/"), -4);
	// A drive that is not there maps to no folder: nothing may land in the working folder instead.
	setenv("ZIMRACERT_DRIVES", ("C=" + m_dir).c_str(), 1);
	EXPECT_EQ(Import(legacy, kPfxPassword, "k", "Q:\\"), -4);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error pfxData \nError reading PKCS#12 file\n"
		"Error parsing PKCS#12 file\nError opening file \nError opening file \n");
	EXPECT_EQ(Load(m_dir + "signCert.der"), old);
	EXPECT_EQ(Load(m_dir + "signPri.key"), old);
	EXPECT_EQ(Entries(m_dir), 2);

	// The key cannot be renamed into place (a folder holds its name): the
	// certificate already moved in is taken back, old or absent.
	const std::string blocked = m_dir + "blocked/";
	std::filesystem::create_directories(blocked + "signPri.key");
	EXPECT_EQ(Import(legacy, kPfxPassword, "k", blocked), -4);
	EXPECT_FALSE(std::filesystem::exists(blocked + "signCert.der"));
	Save(blocked + "signCert.der", old);
	EXPECT_EQ(Import(legacy, kPfxPassword, "k", blocked), -4);
	EXPECT_EQ(Load(blocked + "signCert.der"), old);
	EXPECT_EQ(Entries(blocked), 2);

	// The certificate's write fails (over the file size limit): -4 as for any
	// write, and the old pair stays.
	struct rlimit limit;
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
	struct rlimit small = limit;
	small.rlim_cur = 16;
	const auto handler = signal(SIGXFSZ, SIG_IGN);
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
	const int rc = Import(legacy, kPfxPassword, "k");
	setrlimit(RLIMIT_FSIZE, &limit);
	signal(SIGXFSZ, handler);
	EXPECT_EQ(rc, -4);
	EXPECT_EQ(Load(m_dir + "signCert.der"), old);
	EXPECT_EQ(Load(m_dir + "signPri.key"), old);
	EXPECT_EQ(Entries(m_dir), 3); // and the "blocked" folder
}

TEST_F(CertUtil, Pkcs12Properties)
{
	const Bytes p12 = Load(kKeys + "legacy.p12");
	// openssl prints the fingerprint as "sha1 Fingerprint=A9:99:...".
	std::string expected = Shell("openssl x509 -inform DER -noout -fingerprint -sha1 -in " + kKeys + "signCert.der");
	expected = expected.substr(expected.find('=') + 1, 59);
	expected.erase(std::remove(expected.begin(), expected.end(), ':'), expected.end());
	EXPECT_EQ(Property(p12, Pkcs12Sha1), expected);
	EXPECT_EQ(Property(p12, Pkcs12FolderName), "cn=name1,ou=unit1,o=org1,c=KR");
	EXPECT_EQ(Property(p12, Pkcs12CommonName), "name1");
	EXPECT_EQ(Property(p12, Pkcs12Organization), "org1");
	EXPECT_EQ(Property(p12, 4), "-4");
	EXPECT_EQ(Property(p12, Pkcs12Sha1, "wrong"), "-3");
	EXPECT_EQ(Property(Load(kKeys + "nocert.p12"), Pkcs12FolderName), "0");
	// A subject too long for the folder-name buffer is refused, not cut.
	const Bytes longSubject = Load(kKeys + "longsubject.p12");
	EXPECT_EQ(Property(longSubject, Pkcs12FolderName), "0");
	EXPECT_EQ(Property(longSubject, Pkcs12CommonName), "long");
}

// The organisation and the subject text name the import's folders
// (<root>\<O>\USER\<subject>): a value that would climb out, add a level, name
// a drive or hide a control byte gives no folder name at all. Every entry is
// written, an empty value too: the name never ends in or doubles a comma.
TEST_F(CertUtil, FolderPropertiesStayOneFolder)
{
	for (const std::string& bad : {std::string("../../x"), std::string(".."), std::string("."), std::string("a/b"),
			 std::string("a\\b"), std::string("c:"), std::string("a\x01"), std::string("a\x7f"), std::string("a\nb"),
			 std::string("a\0b", 3)})
	{
		const bool dots = bad == "." || bad == ".."; // "o=.." is a harmless folder name; ".." alone is not
		const Bytes inOrg = Pkcs12WithSubject({{"C", "KR"}, {"O", bad}, {"CN", "n"}});
		EXPECT_EQ(Property(inOrg, Pkcs12Organization), "0") << bad;
		EXPECT_EQ(Property(inOrg, Pkcs12FolderName), dots ? "cn=n,o=" + bad + ",c=KR" : "0") << bad;
		const Bytes inName = Pkcs12WithSubject({{"O", "org"}, {"CN", bad}});
		EXPECT_EQ(Property(inName, Pkcs12Organization), "org") << bad;
		EXPECT_EQ(Property(inName, Pkcs12FolderName), dots ? "cn=" + bad + ",o=org" : "0") << bad;
	}
	const struct
	{
		Subject subject;
		std::string text, org;
	} cases[] = {
		{{{"O", "..x. \xED\x99\x8D()"}, {"CN", "a..b"}}, "cn=a..b,o=..x. \xED\x99\x8D()", "..x. \xED\x99\x8D()"},
		{{{"title", ""}, {"O", "org"}, {"CN", "n"}}, "cn=n,o=org,title=", "org"},
		{{{"C", "KR"}, {"OU", ""}, {"CN", "n"}}, "cn=n,ou=,c=KR", ""},
		{{{"CN", ""}}, "cn=", ""},
		{{{"O", ""}, {"CN", "n"}}, "cn=n,o=", "0"},
	};
	for (const auto& c : cases)
	{
		const Bytes p12 = Pkcs12WithSubject(c.subject);
		EXPECT_EQ(Property(p12, Pkcs12FolderName), c.text);
		EXPECT_EQ(c.org.empty() ? c.org : Property(p12, Pkcs12Organization), c.org) << c.text;
	}
}

// One hostile file must not hold the select loop for days: counts above a
// million rounds are refused before any key is derived (PBE, PBKDF2, PKCS#12
// MAC, contents and bags). Real files use 2,048; files at the bound still read.
TEST_F(CertUtil, KeyDerivationCountsAreBounded)
{
	alarm(50); // the hostile counts would take days: fail instead of hanging
	auto key = ReferenceKey();
	std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(EVP_PKEY2PKCS8(key.get()),
		PKCS8_PRIV_KEY_INFO_free);
	auto keyFile = [&](int count) {
		std::unique_ptr<X509_SIG, decltype(&X509_SIG_free)> sig(
			PKCS8_encrypt(-1, EVP_aes_256_cbc(), "p", 1, nullptr, 0, count, info.get()), X509_SIG_free);
		return Der(sig.get(), i2d_X509_SIG);
	};
	EXPECT_TRUE(IsReferenceKey(Decrypt(keyFile(1000000), "p")));
	EXPECT_EQ(Decrypt(keyFile(1000001), "p"), nullptr);
	for (const char* scheme : {"seed", "seedcbc"})
	{
		auto sig = Parse(Load(kKeys + "signPri." + scheme + ".key"), d2i_X509_SIG, X509_SIG_free);
		X509_ALGOR* algorithm = nullptr;
		X509_SIG_getm(sig.get(), &algorithm, nullptr);
		SetIterations(algorithm, INT64_C(0x7FFFFFFFFFFF));
		EXPECT_EQ(Decrypt(Der(sig.get(), i2d_X509_SIG), kKeyPassword), nullptr) << scheme;
	}

	auto cert = Parse(Load(kKeys + "signCert.der"), d2i_X509, X509_free);
	auto pkcs12 = [&](int iterations) {
		std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(PKCS12_create(kPfxPassword, nullptr, key.get(),
			cert.get(), nullptr, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, -1, iterations, 2048, 0), PKCS12_free);
		return Der(p12.get(), i2d_PKCS12);
	};
	EXPECT_EQ(Property(pkcs12(4096), Pkcs12Organization), "org1");
	EXPECT_EQ(Property(pkcs12(1000001), Pkcs12Organization), "-3");
	for (Count which : {Count::Mac, Count::EncryptedContents, Count::KeyBag})
	{
		const Bytes p12 = Pkcs12WithIterations(which, INT64_C(0x7FFFFFFFFFFF));
		EXPECT_EQ(Property(p12, Pkcs12Organization), "-3") << static_cast<int>(which);
		EXPECT_EQ(Import(p12, kPfxPassword, "k"), -3);
	}
	EXPECT_EQ(Entries(m_dir), 0);
	alarm(0);
}

// Our HAS-160 is reached by name through the start-up's registration; SHA-1
// meets openssl's fingerprint in Pkcs12Properties.
TEST(CertUtilDigest, DigestByNameAndHex)
{
	const unsigned char abc[] = {'a', 'b', 'c'};
	unsigned char* out = nullptr;
	char* hex = nullptr;
	ASSERT_EQ(DigestByName("HAS160", abc, 3, &out), 20);
	ASSERT_EQ(BytesToHex(out, 20, 1, &hex), 40);
	EXPECT_STREQ(hex, "975E810488CF2A3D49838478124AFCE4B1C78804");
	std::free(out);
	std::free(hex);
	EXPECT_LE(DigestByName("NO-SUCH-DIGEST", abc, 3, &out), 0);
	EXPECT_EQ(BytesToHexUpper(nullptr, 4), nullptr);
}

// Times are read as local time: the zone is fixed so the machine's does not
// matter (KST, nine hours east, no daylight saving). Before the epoch in UTC
// the runtime's 64-bit conversion gives -1; malformed times give 0.
TEST(CertUtilTime, AsnTimeToTime)
{
	setenv("TZ", "KST-9", 1);
	tzset();
	const int64_t kst = 9 * 3600;
	const struct
	{
		int type;
		const char* text;
		int64_t seconds;
	} cases[] = {
		{V_ASN1_UTCTIME, "490101000000Z", 2493072000 - kst},
		{V_ASN1_UTCTIME, "700101000000Z", -1},
		{V_ASN1_UTCTIME, "700101090000Z", 0},
		{V_ASN1_UTCTIME, "991231235959Z", 946684799 - kst},
		{V_ASN1_GENERALIZEDTIME, "20491231235959.5Z", 2524607999 - kst},
		{V_ASN1_UTCTIME, "4901010000Z", 0},
		{V_ASN1_UTCTIME, "49010100000AZ", 0},
		{V_ASN1_UTCTIME, "49 101000000Z", 0},
		{V_ASN1_UTCTIME, "", 0},
		{V_ASN1_GENERALIZEDTIME, "491231235959Z", 0},
		{V_ASN1_OCTET_STRING, "20491231235959Z", 0},
	};
	for (const auto& c : cases)
	{
		ASN1_TIME* t = ASN1_STRING_type_new(c.type);
		ASN1_STRING_set(t, c.text, -1);
		EXPECT_EQ(AsnTimeToTime(t), c.seconds) << c.text;
		ASN1_STRING_free(t);
	}
	EXPECT_EQ(AsnTimeToTime(nullptr), 0);
}
