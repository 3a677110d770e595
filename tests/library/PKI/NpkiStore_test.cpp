#include "PKI/CertRecord.h"
#include "PKI/NpkiStore.h"
#include "base/FileUtil.h"
#include "base/NetUtil.h"

#include "library/PKI/CryptoTestEnv.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const std::string kCerts = ZC_TEST_DATA_DIR "/npki/";
const std::string kKeys = ZC_TEST_DATA_DIR "/keys/";
const char kKeyPassword[] = "npki-Pass1!";
// KST, no daylight saving: validity fields are read as this local time.
const long kZoneOffset = 9 * 3600;

std::string Shell(const std::string& command)
{
	std::string output;
	std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
	char buffer[4096];
	for (size_t n; pipe && (n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;)
		output.append(buffer, n);
	return output;
}

std::string After(const std::string& text, const std::string& label)
{
	const size_t at = text.find(label);
	if (at == std::string::npos)
		return "";
	const size_t start = at + label.size();
	return text.substr(start, text.find('\n', start) - start);
}

std::string Unhex(std::string fingerprint)
{
	fingerprint.erase(std::remove(fingerprint.begin(), fingerprint.end(), ':'), fingerprint.end());
	return fingerprint;
}

// "Dec  1 21:27:12 2046 GMT" read as local time in the test's zone, low 32 bits.
long LocalSeconds(const std::string& date)
{
	struct tm fields {};
	strptime(date.c_str(), "%b %d %H:%M:%S %Y", &fields);
	return static_cast<std::int32_t>(static_cast<std::uint32_t>(timegm(&fields) - kZoneOffset));
}

// "    OU=a\n    OU=b" as the record joins them: one key per short name.
void AddNames(const std::string& block, const std::string& prefix, Json2& record)
{
	std::map<std::string, std::string> values;
	std::istringstream lines(block);
	for (std::string line; std::getline(lines, line);)
	{
		const size_t equals = line.find('=');
		const std::string name = line.substr(line.find_first_not_of(' '), equals - line.find_first_not_of(' '));
		std::string& value = values[name];
		value += (value.empty() ? "" : "|") + line.substr(equals + 1);
	}
	for (const auto& value : values)
		record[prefix + value.first] = Json2(value.second);
}

// The record as the openssl command reads the certificate.
Json2 OpensslRecord(const std::string& file)
{
	const std::string base = "openssl x509 -inform DER -in '" + file + "' -noout ";
	const std::string text = Shell(base + "-serial -fingerprint -sha1 -dates -text");
	Json2 record;
	record[kCertVersion] = Json2(std::stoi(After(text, "Version: ")));
	const std::string serial = After(text, "serial=");
	record[kCertSerialNumber] = Json2(serial.size() > 8
			? -1L
			: static_cast<long>(static_cast<std::int32_t>(std::stoul(serial, nullptr, 16))));
	record[kCertSignatureAlgorithm] = Json2(OBJ_txt2nid(After(text, "Signature Algorithm: ").c_str()));
	record[kCertKeyAlgorithm] = Json2(OBJ_txt2nid(After(text, "Public Key Algorithm: ").c_str()));
	record[kCertNotBefore] = Json2(LocalSeconds(After(text, "notBefore=")));
	record[kCertNotAfter] = Json2(LocalSeconds(After(text, "notAfter=")));
	const std::string policy = After(text, "Policy: ");
	if (!policy.empty())
		record[kCertPolicyId] = Json2(policy);
	record[kCertFingerprintSha1] = Json2(Unhex(After(text, "Fingerprint=")));
	record[kCertFingerprintMd5] = Json2(Unhex(After(Shell(base + "-fingerprint -md5"), "Fingerprint=")));
	const std::string names = Shell(base + "-subject -issuer -nameopt sep_multiline,utf8,sname");
	const size_t issuer = names.find("issuer=\n");
	AddNames(names.substr(9, issuer - 9), kCertSubjectPrefix, record);
	AddNames(names.substr(issuer + 8), kCertIssuerPrefix, record);
	return record;
}

class NpkiStoreTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		setenv("TZ", "KST-9", 1);
		tzset();
		setenv("ZIMRACERT_DRIVES", ("C=" + m_temp.Path() + "/c;d=" + m_temp.Path() + "/d;E=" + m_temp.Path() + "/e").c_str(), 1);
		setenv("HOMEDRIVE", "C:", 1);
		setenv("APPDATA", "C:\\Users\\user1\\AppData\\Roaming", 1);
		setenv("ProgramFiles", "C:\\Program Files", 1);
		std::filesystem::create_directories(m_temp.Path() + "/e");
	}

	// Copies a fixture to a Windows-form path of the test's drives.
	void Put(const std::string& fixture, const std::string& windowsPath)
	{
		std::string host = windowsPath;
		std::replace(host.begin(), host.end(), '\\', '/');
		host = m_temp.Path() + "/" + static_cast<char>(std::tolower(host[0])) + host.substr(2);
		std::filesystem::create_directories(std::filesystem::path(host).parent_path());
		std::filesystem::copy_file(fixture, host, std::filesystem::copy_options::overwrite_existing);
	}

	void PutPair(const std::string& cert, const std::string& folder)
	{
		Put(kCerts + cert, folder + "\\signCert.der");
		Put(kKeys + "signPri.seed.key", folder + "\\signPri.key");
	}

	TempFolder m_temp;
};

std::vector<std::string> Paths(Json2& list)
{
	std::vector<std::string> paths;
	for (Json2& record : list.GetArray())
		paths.push_back(record[kCertDerPath].GetString());
	return paths;
}

} // namespace

TEST_F(NpkiStoreTest, RecordAgreesWithTheOpensslReading)
{
	NpkiStore store;
	for (const char* name : { "korean", "plain", "zero", "negserial", "fivebyte" })
	{
		PutPair(std::string(name) + ".der", std::string("C:\\x\\") + name);
		const std::string der = std::string("C:\\x\\") + name + "\\signCert.der";
		Json2 expected = OpensslRecord(kCerts + name + ".der");
		expected[kCertDerPath] = Json2(der);
		expected[kCertKeyPath] = Json2(std::string("C:\\x\\") + name + "\\signPri.key");
		Json2 record;
		std::string md5;
		std::string sha1;
		ASSERT_TRUE(store.ReadCertificateInfo(der, expected[kCertKeyPath].GetString(), &md5, &sha1, &record));
		EXPECT_EQ(expected.ToString(true), record.ToString(true)) << name;
		EXPECT_EQ(expected[kCertFingerprintSha1].GetString(), sha1);
	}

	// Trailing bytes still decode, but the fingerprints are the file's.
	const std::string file = m_temp.Path() + "/c/x/korean/signCert.der";
	std::ofstream(file, std::ios::app) << "tail";
	std::string md5;
	std::string sha1;
	Json2 record;
	ASSERT_TRUE(store.ReadCertificateInfo("C:\\x\\korean\\signCert.der", "C:\\x\\korean\\signPri.key", &md5,
		&sha1, &record));
	EXPECT_EQ(Shell("openssl dgst -md5 -r '" + file + "'").substr(0, 32), NetUtil::ToLowerAscii(md5));

	// Not a certificate: the two paths only. A missing key: no record.
	Put(kKeys + "key.pem", "C:\\bad\\signCert.der");
	Put(kKeys + "key.pem", "C:\\bad\\signPri.key");
	Json2 bad;
	ASSERT_TRUE(store.ReadCertificateInfo("C:\\bad\\signCert.der", "C:\\bad\\signPri.key", &md5, &sha1, &bad));
	EXPECT_EQ("{\"cert.der.path\":\"C:\\\\bad\\\\signCert.der\",\"cert.key.path\":\"C:\\\\bad\\\\signPri.key\"}",
		bad.ToString(true));
	Json2 missing;
	EXPECT_FALSE(store.ReadCertificateInfo("C:\\x\\zero\\signCert.der", "C:\\x\\zero\\none.key", &md5, &sha1,
		&missing));
	EXPECT_FALSE(store.ReadCertificateInfo("", "C:\\x\\zero\\signPri.key", &md5, &sha1, &missing));
}

TEST_F(NpkiStoreTest, ListsBothRootsOnceAndDrivesOnTheirOwn)
{
	const std::string primary = "C:\\Users\\user1\\AppData\\LocalLow\\NPKI";
	const std::string secondary = "C:\\Program Files\\NPKI";
	PutPair("korean.der", primary + "\\yessign\\USER\\cn=홍길동()0012345,ou=BANK");
	Put(kCerts + "plain.der", primary + "\\CrossCert\\user\\plain1\\SIGNCERT.DER");
	Put(kKeys + "signPri.seed.key", primary + "\\CrossCert\\user\\plain1\\signpri.Key");
	PutPair("zero.der", primary + "\\a\\b\\User\\c");
	PutPair("plain.der", primary + "\\a\\b\\User\\c\\d");
	PutPair("negserial.der", primary + "\\USER\\x");
	Put(kCerts + "zero.der", primary + "\\yessign\\USER\\onlycert\\signCert.der");
	Put(kKeys + "key.pem", primary + "\\yessign\\USER\\notcert\\signCert.der");
	Put(kKeys + "key.pem", primary + "\\yessign\\USER\\notcert\\signPri.key");
	Put(kCerts + "korean.der", primary + "\\yessign\\USER\\signCert.der");
	PutPair("korean.der", secondary + "\\yessign\\USER\\dup");
	PutPair("plain.der", secondary + "\\CrossCert\\USER\\dup");
	PutPair("zero.der", secondary + "\\other\\USER\\zero");
	PutPair("negserial.der", "D:\\NPKI\\CA\\USER\\k");

	NpkiStore store;
	std::string root;
	EXPECT_TRUE(store.GetPrimaryRootUtf8(&root));
	EXPECT_EQ(primary, root);
	Json2 list;
	EXPECT_EQ(6, store.ListCertificates("", &list));
	const std::vector<std::string> expected { primary + "\\a\\b\\User\\c\\signCert.der",
		primary + "\\CrossCert\\user\\plain1\\SIGNCERT.DER", primary + "\\USER\\x\\signCert.der",
		primary + "\\yessign\\USER\\cn=홍길동()0012345,ou=BANK\\signCert.der",
		primary + "\\yessign\\USER\\notcert\\signCert.der", secondary + "\\other\\USER\\zero\\signCert.der" };
	EXPECT_EQ(expected, Paths(list));
	EXPECT_EQ(primary + "\\CrossCert\\user\\plain1\\signpri.Key",
		std::next(list.GetArray().begin())->operator[](kCertKeyPath).GetString());

	Json2 drive;
	EXPECT_EQ(1, store.ListCertificates("D:\\", &drive));
	EXPECT_EQ(std::vector<std::string> { "D:\\\\NPKI\\CA\\USER\\k\\signCert.der" }, Paths(drive));
	Json2 none;
	EXPECT_EQ(0, store.ListCertificates("E:\\", &none));
	EXPECT_EQ(0, store.ListCertificates("F:\\", &none));

	Json2 drives;
	EXPECT_EQ(2, store.ListExternalDrives(&drives));
	EXPECT_EQ("[\"D:\\\\\",\"E:\\\\\"]", drives.ToString(true));
}

TEST_F(NpkiStoreTest, WithoutAppDataOnlyProgramFilesIsListed)
{
	unsetenv("APPDATA");
	PutPair("zero.der", "C:\\Program Files\\NPKI\\CA\\USER\\z");
	PutPair("zero.der", "C:\\Users\\user1\\AppData\\LocalLow\\NPKI\\CA\\USER\\z");
	NpkiStore store;
	std::string root;
	EXPECT_TRUE(store.GetPrimaryRootUtf8(&root));
	EXPECT_EQ("C:\\Program Files\\NPKI", root);
	Json2 list;
	EXPECT_EQ(1, store.ListCertificates("", &list));
}

TEST_F(NpkiStoreTest, ExportedKeyPairImportsIntoTheLayout)
{
	PutPair("../keys/signCert.der", "C:\\Program Files\\NPKI\\org1\\USER\\cn=name1");
	const std::string der = "C:\\Program Files\\NPKI\\org1\\USER\\cn=name1\\signCert.der";
	const std::string key = "C:\\Program Files\\NPKI\\org1\\USER\\cn=name1\\signPri.key";
	NpkiStore store;
	EXPECT_TRUE(store.CheckKeyPassword(key, kKeyPassword));
	EXPECT_FALSE(store.CheckKeyPassword(key, "wrong"));
	EXPECT_FALSE(store.CheckKeyPassword(key, ""));

	std::string pfx;
	EXPECT_FALSE(store.ExportPfxBase64(der, key, "wrong", "new-pass", &pfx));
	ASSERT_TRUE(store.ExportPfxBase64(der, key, kKeyPassword, "new-pass", &pfx));
	pfx.erase(std::remove(pfx.begin(), pfx.end(), '\n'), pfx.end());

	std::string org;
	std::string folder;
	EXPECT_FALSE(store.InspectPfxBase64(pfx, "wrong", 3, &org));
	ASSERT_TRUE(store.InspectPfxBase64(pfx, "new-pass", 3, &org));
	ASSERT_TRUE(store.InspectPfxBase64(pfx, "new-pass", 1, &folder));
	EXPECT_EQ("org1", org);
	EXPECT_EQ("cn=name1,ou=unit1,o=org1,c=KR", folder);

	const std::string target = "D:\\NPKI\\" + org + "\\USER\\" + folder;
	ASSERT_EQ(1, MakeDirs(target.c_str()));
	EXPECT_FALSE(store.ImportPfxBase64(pfx, target + "\\signCert.der", target + "\\signPri.key", "wrong", "k"));
	ASSERT_TRUE(store.ImportPfxBase64(pfx, target + "\\signCert.der", target + "\\signPri.key", "new-pass",
		"new-pass"));
	Json2 list;
	ASSERT_EQ(1, store.ListCertificates("D:\\", &list));
	Json2& record = list.GetArray().front();
	EXPECT_EQ(OpensslRecord(kKeys + "signCert.der")[kCertFingerprintSha1].GetString(),
		record[kCertFingerprintSha1].GetString());
	EXPECT_TRUE(store.CheckKeyPassword(record[kCertKeyPath].GetString(), "new-pass"));
	EXPECT_FALSE(store.CheckKeyPassword(record[kCertKeyPath].GetString(), kKeyPassword));
}
