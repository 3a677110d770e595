#include "PKI/cert_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/provider.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "library/PKI/CryptoTestEnv.h"
#include "support/Shell.h"

namespace
{

const std::string kKeys = ZC_TEST_DATA_DIR "/keys/";
const char kKeyPassword[] = "npki-Pass1!";
const char kPfxPassword[] = "pfx-Pass2?";

using Bytes = std::vector<unsigned char>;

Bytes Load(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Save(const std::string& path, const Bytes& bytes)
{
	std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}


// The reference key, as openssl wrote it unencrypted.
std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ReferenceKey()
{
	Bytes der = Load(kKeys + "key.p8.der");
	const unsigned char* p = der.data();
	return {d2i_AutoPrivateKey(nullptr, &p, der.size()), EVP_PKEY_free};
}

bool IsReferenceKey(EVP_PKEY* key)
{
	bool same = key != nullptr && EVP_PKEY_eq(key, ReferenceKey().get()) == 1;
	EVP_PKEY_free(key);
	return same;
}

EVP_PKEY* Decrypt(const Bytes& file, const char* password)
{
	return DecryptPrivateKey(file.data(), static_cast<int>(file.size()), password);
}

class CertUtil : public ::testing::Test
{
protected:
	void SetUp() override
	{
		char name[] = "/tmp/zc_certutil_XXXXXX";
		ASSERT_NE(mkdtemp(name), nullptr);
		m_dir = std::string(name) + "/";
	}
	void TearDown() override { std::filesystem::remove_all(m_dir); }

	std::string m_dir;
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
}

// Base64 against OpenSSL's block encoder, with the filter's line feed after
// every 64 characters; "=" and "==" alone must not overflow the output.
TEST_F(CertUtil, Base64)
{
	std::mt19937 random(7);
	for (int len : {1, 2, 3, 47, 48, 49, 100, 190})
	{
		Bytes data(len);
		std::generate(data.begin(), data.end(), [&] { return static_cast<unsigned char>(random()); });
		std::string line(4 * ((len + 2) / 3) + 1, '\0');
		line.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&line[0]), data.data(), len));
		std::string lines = line;
		for (size_t i = 64; i < lines.size(); i += 65)
		{
			lines.insert(i, "\n");
		}
		char* text = nullptr;
		ASSERT_EQ(BioBase64Encode(data.data(), len, &text), static_cast<int>(lines.size()));
		EXPECT_EQ(text, lines);
		std::free(text);
		unsigned char* decoded = nullptr;
		ASSERT_EQ(BioBase64Decode(line.c_str(), static_cast<int>(line.size()), &decoded), len);
		EXPECT_EQ(Bytes(decoded, decoded + len), data);
		EXPECT_EQ(decoded[len], 0);
		std::free(decoded);
		if (lines.size() > line.size())
		{
			EXPECT_LE(BioBase64Decode(lines.c_str(), static_cast<int>(lines.size()), &decoded), 0);
		}
	}
	unsigned char* decoded = nullptr;
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
			ok = ok && IsReferenceKey(Decrypt(file, kKeyPassword)) && !Decrypt(file, "wrong")
				&& !Decrypt(file, "") && !Decrypt(file, nullptr);
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
	std::string salts[2];
	for (std::string& salt : salts)
	{
		const std::string file = m_dir + "signPri.key";
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
// own (legacy and PBES2/AES) import.
TEST_F(CertUtil, Pkcs12RoundTripsWithOpenssl)
{
	unsigned char* pfx = nullptr;
	int length = FilesToPkcs12((kKeys + "signCert.der").c_str(), (kKeys + "signPri.seed.key").c_str(), kKeyPassword,
		kPfxPassword, &pfx);
	ASSERT_GT(length, 0);
	Save(m_dir + "ours.p12", Bytes(pfx, pfx + length));
	std::free(pfx);
	std::string info = Shell("openssl pkcs12 -info -legacy -nokeys -in " + m_dir + "ours.p12 -passin 'pass:"
		+ kPfxPassword + "'");
	EXPECT_NE(info.find("MAC: sha1, Iteration 1\n"), std::string::npos) << info;
	EXPECT_NE(info.find("Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"), std::string::npos);
	EXPECT_NE(info.find("PKCS7 Encrypted data: pbeWithSHA1And40BitRC2-CBC, Iteration 2048"), std::string::npos);
	EXPECT_NE(info.find("friendlyName: pkcs12test"), std::string::npos);

	for (const char* name : {"legacy.p12", "aes.p12", "ours.p12"})
	{
		Bytes p12 = Load(std::string(name) == "ours.p12" ? m_dir + name : kKeys + name);
		const std::string der = m_dir + "signCert.der";
		const std::string key = m_dir + "signPri.key";
		ASSERT_EQ(Pkcs12ToFiles(p12.data(), static_cast<int>(p12.size()), der.c_str(), key.c_str(), kPfxPassword,
			"new-pass"), 0) << name;
		EXPECT_EQ(Load(der), Load(kKeys + "signCert.der"));
		EXPECT_TRUE(IsReferenceKey(Decrypt(Load(key), "new-pass")));
	}
	// No temporary file is left beside the pair.
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir), {}), 3);
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
	Save(m_dir + "signCert.der", old);
	Save(m_dir + "signPri.key", old);
	auto import = [&](const std::string& file, const char* pfxPassword, const char* keyPassword,
		const std::string& dir = "") {
		Bytes p12 = Load(kKeys + file);
		const std::string folder = dir.empty() ? m_dir : dir;
		return Pkcs12ToFiles(p12.empty() ? nullptr : p12.data(), static_cast<int>(p12.size()),
			(folder + "signCert.der").c_str(), (folder + "signPri.key").c_str(), pfxPassword, keyPassword);
	};
	EXPECT_EQ(import("nokey.p12", kPfxPassword, "k"), -5);
	EXPECT_EQ(import("nocert.p12", kPfxPassword, "k"), -6);
	EXPECT_EQ(import("legacy.p12", kPfxPassword, ""), -5);
	testing::internal::CaptureStdout();
	EXPECT_EQ(import("missing", kPfxPassword, "k"), -1);
	EXPECT_EQ(import("key.p8.der", kPfxPassword, "k"), -2);
	EXPECT_EQ(import("legacy.p12", "wrong", "k"), -3);
	EXPECT_EQ(import("legacy.p12", kPfxPassword, "k", m_dir + "no/such/"), -4);
	// A drive that is not there maps to no folder: nothing may land in the
	// working folder instead.
	setenv("ZIMRACERT_DRIVES", ("C=" + m_dir).c_str(), 1);
	EXPECT_EQ(import("legacy.p12", kPfxPassword, "k", "Q:\\"), -4);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error pfxData \nError reading PKCS#12 file\n"
		"Error parsing PKCS#12 file\nError opening file \nError opening file \n");
	EXPECT_EQ(Load(m_dir + "signCert.der"), old);
	EXPECT_EQ(Load(m_dir + "signPri.key"), old);
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir), {}), 2);

	// The key cannot be renamed into place (a folder holds its name): the
	// certificate already moved in is taken back, old or absent.
	const std::string blocked = m_dir + "blocked/";
	std::filesystem::create_directories(blocked + "signPri.key");
	EXPECT_EQ(import("legacy.p12", kPfxPassword, "k", blocked), -4);
	EXPECT_FALSE(std::filesystem::exists(blocked + "signCert.der"));
	Save(blocked + "signCert.der", old);
	EXPECT_EQ(import("legacy.p12", kPfxPassword, "k", blocked), -4);
	EXPECT_EQ(Load(blocked + "signCert.der"), old);
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(blocked), {}), 2);
}

TEST_F(CertUtil, Pkcs12Properties)
{
	Bytes p12 = Load(kKeys + "legacy.p12");
	auto property = [&](const Bytes& pfx, int selector, const char* password = kPfxPassword) {
		char* out = nullptr;
		int rc = Pkcs12GetProperty(pfx.data(), static_cast<int>(pfx.size()), password, selector, &out);
		std::string text = rc > 0 ? std::string(out, rc) : std::to_string(rc);
		std::free(out);
		return text;
	};
	// openssl prints the fingerprint as "sha1 Fingerprint=A9:99:...".
	std::string expected = Shell("openssl x509 -inform DER -noout -fingerprint -sha1 -in " + kKeys + "signCert.der");
	expected = expected.substr(expected.find('=') + 1, 59);
	expected.erase(std::remove(expected.begin(), expected.end(), ':'), expected.end());
	EXPECT_EQ(property(p12, 0), expected);
	EXPECT_EQ(property(p12, 1), "cn=name1,ou=unit1,o=org1,c=KR");
	EXPECT_EQ(property(p12, 2), "name1");
	EXPECT_EQ(property(p12, 3), "org1");
	EXPECT_EQ(property(p12, 4), "-4");
	EXPECT_EQ(property(p12, 0, "wrong"), "-3");
	EXPECT_EQ(property(Load(kKeys + "nocert.p12"), 1), "0");
	// A subject too long for the folder-name buffer is refused, not cut.
	Bytes longSubject = Load(kKeys + "longsubject.p12");
	EXPECT_EQ(property(longSubject, 1), "0");
	EXPECT_EQ(property(longSubject, 2), "long");
}

TEST(CertUtilDigest, DigestByNameAndHex)
{
	auto digest = [](const char* name, const std::string& text) {
		unsigned char* out = nullptr;
		char* hex = nullptr;
		int length = DigestByName(name, reinterpret_cast<const unsigned char*>(text.data()), text.size(), &out);
		std::string result = length > 0 && BytesToHex(out, length, 1, &hex) == 2 * length ? hex : "";
		std::free(out);
		std::free(hex);
		return result;
	};
	// SHA-1 meets openssl's fingerprint in Pkcs12Properties; our HAS-160 is
	// reached by name through the start-up's registration.
	EXPECT_EQ(digest("HAS160", "abc"), "975E810488CF2A3D49838478124AFCE4B1C78804");
	EXPECT_EQ(digest("NO-SUCH-DIGEST", "abc"), "");
	EXPECT_EQ(BytesToHexUpper(nullptr, 4), nullptr);
}

// Times are read as local time: the zone is fixed so the machine's does not
// matter (KST, nine hours east, no daylight saving).
TEST(CertUtilTime, AsnTimeToTime)
{
	setenv("TZ", "KST-9", 1);
	tzset();
	auto convert = [](int type, const char* text) {
		ASN1_TIME* t = ASN1_STRING_type_new(type);
		ASN1_STRING_set(t, text, -1);
		int64_t seconds = AsnTimeToTime(t);
		ASN1_STRING_free(t);
		return seconds;
	};
	const int64_t kst = 9 * 3600;
	EXPECT_EQ(convert(V_ASN1_UTCTIME, "490101000000Z"), 2493072000 - kst);
	// Before the epoch in UTC: the runtime's 64-bit conversion gives -1.
	EXPECT_EQ(convert(V_ASN1_UTCTIME, "700101000000Z"), -1);
	EXPECT_EQ(convert(V_ASN1_UTCTIME, "700101090000Z"), 0);
	EXPECT_EQ(convert(V_ASN1_UTCTIME, "991231235959Z"), 946684799 - kst);
	EXPECT_EQ(convert(V_ASN1_GENERALIZEDTIME, "20491231235959.5Z"), 2524607999 - kst);
	for (const char* bad : {"4901010000Z", "49010100000AZ", "49 101000000Z", ""})
	{
		EXPECT_EQ(convert(V_ASN1_UTCTIME, bad), 0) << bad;
	}
	EXPECT_EQ(convert(V_ASN1_GENERALIZEDTIME, "491231235959Z"), 0);
	EXPECT_EQ(convert(V_ASN1_OCTET_STRING, "20491231235959Z"), 0);
	EXPECT_EQ(AsnTimeToTime(nullptr), 0);
}
