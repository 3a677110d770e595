#include "PKI/CertRecord.h"
#include "PKI/NpkiStore.h"
#include "PKI/cert_util.h"
#include "base/FileUtil.h"
#include "base/NetUtil.h"

#include "library/PKI/CryptoTestEnv.h"
#include "support/Shell.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const std::string kCerts = ZC_TEST_DATA_DIR "/npki/";
const std::string kKeys = ZC_TEST_DATA_DIR "/keys/";
const char kKeyPassword[] = "npki-Pass1!";


// The rest of the line after label, without the colons of a fingerprint.
std::string After(const std::string& text, const std::string& label, bool fingerprint = false)
{
	const size_t at = text.find(label) + label.size();
	std::string value = at < label.size() ? "" : text.substr(at, text.find('\n', at) - at);
	if (fingerprint)
		value.erase(std::remove(value.begin(), value.end(), ':'), value.end());
	return value;
}

// "Dec  1 21:27:12 2046 GMT" read as local time in KST (no daylight saving),
// low 32 bits.
long LocalSeconds(const std::string& date)
{
	struct tm fields {};
	strptime(date.c_str(), "%b %d %H:%M:%S %Y", &fields);
	return static_cast<std::int32_t>(static_cast<std::uint32_t>(timegm(&fields) - 9 * 3600));
}

// "    OU=a\n    OU=b" gathered into one key per short name, "a|b".
void AddNames(const std::string& block, const std::string& prefix, Json2& record)
{
	std::map<std::string, std::string> values;
	std::istringstream lines(block);
	for (std::string line; std::getline(lines, line);)
	{
		const size_t name = line.find_first_not_of(' ');
		const size_t equals = line.find('=');
		values[line.substr(name, equals - name)] += "|" + line.substr(equals + 1);
	}
	for (const auto& value : values)
		record[prefix + value.first] = Json2(value.second.substr(1));
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
	if (!After(text, "Policy: ").empty())
		record[kCertPolicyId] = Json2(After(text, "Policy: "));
	record[kCertFingerprintSha1] = Json2(After(text, "Fingerprint=", true));
	record[kCertFingerprintMd5] = Json2(After(Shell(base + "-fingerprint -md5"), "Fingerprint=", true));
	const std::string names = Shell(base + "-subject -issuer -nameopt sep_multiline,utf8,sname");
	const size_t issuer = names.find("issuer=\n");
	AddNames(names.substr(9, issuer - 9), kCertSubjectPrefix, record);
	AddNames(names.substr(issuer + 8), kCertIssuerPrefix, record);
	return record;
}

// ReadCertificateInfo: the record, or Null when it gave false. The two digest
// texts handed out must be the record's own.
Json2 Read(const std::string& der, const std::string& key)
{
	NpkiStore store;
	std::string md5;
	std::string sha1;
	Json2 record;
	if (!store.ReadCertificateInfo(der, key, &md5, &sha1, &record))
		return Json2();
	EXPECT_EQ(record.HasKey(kCertFingerprintMd5) ? record[kCertFingerprintMd5].GetString() : "", md5);
	EXPECT_EQ(record.HasKey(kCertFingerprintSha1) ? record[kCertFingerprintSha1].GetString() : "", sha1);
	return record;
}

std::vector<std::string> Paths(Json2& list)
{
	std::vector<std::string> paths;
	for (Json2& record : list.GetArray())
		paths.push_back(record[kCertDerPath].GetString());
	return paths;
}

class NpkiStoreTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		setenv("TZ", "KST-9", 1);
		tzset();
		const std::string t = m_temp.Path();
		setenv("ZIMRACERT_DRIVES", ("C=" + t + "/c;d=" + t + "/d;E=" + t + "/e").c_str(), 1);
		setenv("HOMEDRIVE", "C:", 1);
		setenv("APPDATA", "C:\\Users\\user1\\AppData\\Roaming", 1);
		setenv("ProgramFiles", "C:\\Program Files", 1);
		std::filesystem::create_directories(t + "/e");
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

	void PutPair(const std::string& cert, std::initializer_list<std::string> folders)
	{
		for (const std::string& folder : folders)
		{
			Put(kCerts + cert, folder + "\\signCert.der");
			Put(kKeys + "signPri.seed.key", folder + "\\signPri.key");
		}
	}

	TempFolder m_temp;
};

} // namespace

// The record is the openssl command's reading of each certificate, under the
// page's own key texts (written out here, so that a renamed key is caught).
TEST_F(NpkiStoreTest, RecordAgreesWithTheOpensslReading)
{
	// Besides the fixtures, a name with an empty attribute, kept as the value "".
	const std::string empty = m_temp.Path() + "/empty.der";
	std::ofstream(m_temp.Path() + "/req.cnf") << "[req]\nprompt=no\ndistinguished_name=dn\n[dn]\n0.title=\n1.title=x\n";
	Shell("openssl req -new -x509 -key " + kKeys + "key.pem -outform DER -out " + empty + " -config " + m_temp.Path()
		+ "/req.cnf");
	for (const std::string name : { "korean", "plain", "zero", "negserial", "fivebyte", "empty" })
	{
		const std::string folder = "C:\\x\\" + name;
		const std::string source = name == "empty" ? empty : kCerts + name + ".der";
		Put(source, folder + "\\signCert.der");
		Put(kKeys + "signPri.seed.key", folder + "\\signPri.key");
		Json2 expected = OpensslRecord(source);
		expected[kCertDerPath] = Json2(folder + "\\signCert.der");
		expected[kCertKeyPath] = Json2(folder + "\\signPri.key");
		EXPECT_EQ(expected.ToString(true), Read(folder + "\\signCert.der", folder + "\\signPri.key").ToString(true));
	}
	const std::string korean = Read("C:\\x\\korean\\signCert.der", "C:\\x\\korean\\signPri.key").ToString(true);
	std::vector<std::string> keys;
	const std::regex member("\"(cert\\.[^\"]*)\":");
	for (std::sregex_iterator at(korean.begin(), korean.end(), member); at != std::sregex_iterator(); ++at)
		keys.push_back((*at)[1]);
	EXPECT_EQ((std::vector<std::string> { "cert.der.path", "cert.extension.policyid", "cert.fingerprint.MD5",
				  "cert.fingerprint.SHA1", "cert.issuername.C", "cert.issuername.CN", "cert.issuername.O",
				  "cert.issuername.OU", "cert.key.algorism", "cert.key.path", "cert.serialNumber",
				  "cert.signature.algorism", "cert.subjectname.C", "cert.subjectname.CN", "cert.subjectname.O",
				  "cert.subjectname.OU", "cert.validity.notAfter", "cert.validity.notBefore", "cert.version" }),
		keys)
		<< korean;

	// Trailing bytes still decode, but the fingerprints are the file's.
	const std::string file = m_temp.Path() + "/c/x/korean/signCert.der";
	std::ofstream(file, std::ios::app) << "tail";
	EXPECT_EQ(Shell("openssl dgst -md5 -r '" + file + "'").substr(0, 32),
		NetUtil::ToLowerAscii(
			Read("C:\\x\\korean\\signCert.der", "C:\\x\\korean\\signPri.key")[kCertFingerprintMd5].GetString()));

	// Not a certificate: the two paths only. A missing key: no record.
	PutPair("../keys/key.pem", { "C:\\bad" });
	EXPECT_EQ("{\"cert.der.path\":\"C:\\\\bad\\\\signCert.der\",\"cert.key.path\":\"C:\\\\bad\\\\signPri.key\"}",
		Read("C:\\bad\\signCert.der", "C:\\bad\\signPri.key").ToString(true));
	EXPECT_EQ(Json2::Null, Read("C:\\x\\zero\\signCert.der", "C:\\x\\zero\\none.key").Type());
	EXPECT_EQ(Json2::Null, Read("", "C:\\x\\zero\\signPri.key").Type());
}
TEST_F(NpkiStoreTest, ListsBothRootsOnceAndDrivesOnTheirOwn)
{
	const std::string primary = "C:\\Users\\user1\\AppData\\LocalLow\\NPKI\\";
	const std::string secondary = "C:\\Program Files\\NPKI\\";
	PutPair("korean.der", { primary + "yessign\\USER\\cn=홍길동()0012345,ou=BANK", secondary + "yessign\\USER\\dup" });
	PutPair("zero.der", { primary + "a\\b\\User\\c", secondary + "other\\USER\\zero" });
	PutPair("plain.der", { primary + "a\\b\\User\\c\\d" });
	PutPair("negserial.der", { primary + "USER\\x", "D:\\NPKI\\CA\\USER\\k" });
	PutPair("fivebyte.der", { secondary + "other\\USER\\five1", secondary + "other\\USER\\five2" });
	Put(kCerts + "plain.der", primary + "CrossCert\\user\\plain1\\SIGNCERT.DER");
	Put(kKeys + "signPri.seed.key", primary + "CrossCert\\user\\plain1\\signpri.Key");
	Put(kCerts + "zero.der", primary + "yessign\\USER\\onlycert\\signCert.der");
	Put(kCerts + "korean.der", primary + "yessign\\USER\\signCert.der");

	NpkiStore store;
	std::string root;
	EXPECT_TRUE(store.GetPrimaryRootUtf8(&root));
	EXPECT_EQ(primary, root + "\\");
	Json2 list;
	EXPECT_EQ(6, store.ListCertificates("", &list));
	const std::vector<std::string> expected { primary + "a\\b\\User\\c\\signCert.der",
		primary + "CrossCert\\user\\plain1\\SIGNCERT.DER", primary + "USER\\x\\signCert.der",
		primary + "yessign\\USER\\cn=홍길동()0012345,ou=BANK\\signCert.der",
		secondary + "other\\USER\\five1\\signCert.der", secondary + "other\\USER\\zero\\signCert.der" };
	EXPECT_EQ(expected, Paths(list));
	EXPECT_EQ(primary + "CrossCert\\user\\plain1\\signpri.Key",
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

	// Without APPDATA only ProgramFiles is listed, each copy on its own.
	unsetenv("APPDATA");
	NpkiStore single;
	EXPECT_TRUE(single.GetPrimaryRootUtf8(&root));
	EXPECT_EQ(secondary, root + "\\");
	Json2 all;
	EXPECT_EQ(4, single.ListCertificates("", &all));
}

TEST_F(NpkiStoreTest, FolderLimitCountsUnitsOfTheWindowsPath)
{
	// 80 Korean letters are 240 bytes but 80 UTF-16 units; the host path runs
	// far past 256 either way. "folder\*" and its terminator fill 256 units.
	std::string korean;
	for (int i = 0; i < 80; ++i)
		korean += "홍";
	const std::string fits = "D:\\" + korean + "\\" + std::string(253 - 84, 'a');
	PutPair("zero.der", { fits + "\\k", fits + "b\\k" });
	NpkiStore store;
	std::list<std::string> found;
	EXPECT_EQ(1, store.FindCertFolders(fits, &found, true));
	EXPECT_EQ(0, store.FindCertFolders(fits + "b", &found, true));
	EXPECT_EQ(std::list<std::string> { fits + "\\k" }, found);
}

// An exported pair imports into the layout <drive>\NPKI\<O>\USER\<subject>.
// A folder that holds a pair under other letter cases, as Windows tools leave
// it, has both files replaced under their names: never four, which the listing
// would drop. A path with a NUL inside (a page's "\u0000") names no file
// rather than the one before the NUL.
TEST_F(NpkiStoreTest, ExportedKeyPairImportsIntoTheLayout)
{
	const std::string folder = "C:\\Program Files\\NPKI\\org1\\USER\\cn=name1";
	const std::string der = folder + "\\signCert.der";
	const std::string key = folder + "\\signPri.key";
	PutPair("../keys/signCert.der", { folder });
	NpkiStore store;
	EXPECT_TRUE(store.CheckKeyPassword(key, kKeyPassword));
	EXPECT_FALSE(store.CheckKeyPassword(key, "wrong"));
	EXPECT_FALSE(store.CheckKeyPassword(key, ""));
	const std::string nul("\0x", 2);
	EXPECT_FALSE(store.CheckKeyPassword(key + nul, kKeyPassword));
	EXPECT_EQ(Json2::Null, Read(der + nul, key).Type());
	EXPECT_EQ(Json2::Null, Read(der, key + nul).Type());

	std::string pfx;
	EXPECT_FALSE(store.ExportPfxBase64(der, key + nul, kKeyPassword, "new-pass", &pfx));
	EXPECT_FALSE(store.ExportPfxBase64(der, key, "wrong", "new-pass", &pfx));
	ASSERT_TRUE(store.ExportPfxBase64(der, key, kKeyPassword, "new-pass", &pfx));
	pfx.erase(std::remove(pfx.begin(), pfx.end(), '\n'), pfx.end());
	EXPECT_FALSE(store.ImportPfxBase64(pfx, der + nul, key, "new-pass", "k"));
	EXPECT_FALSE(store.ImportPfxBase64(pfx, der, key + nul, "new-pass", "k"));
	EXPECT_TRUE(store.CheckKeyPassword(key, kKeyPassword));
	std::string org;
	std::string name;
	EXPECT_FALSE(store.InspectPfxBase64(pfx, "wrong", Pkcs12Organization, &org));
	ASSERT_TRUE(store.InspectPfxBase64(pfx, "new-pass", Pkcs12Organization, &org));
	ASSERT_TRUE(store.InspectPfxBase64(pfx, "new-pass", Pkcs12FolderName, &name));
	EXPECT_EQ("org1", org);
	EXPECT_EQ("cn=name1,ou=unit1,o=org1,c=KR", name);

	const std::string target = "D:\\NPKI\\" + org + "\\USER\\" + name;
	Put(kCerts + "plain.der", target + "\\SignCert.der");
	Put(kKeys + "signPri.seed.key", target + "\\SIGNPRI.KEY");
	ASSERT_EQ(1, MakeDirs(target.c_str()));
	EXPECT_FALSE(store.ImportPfxBase64(pfx, target + "\\signCert.der", target + "\\signPri.key", "wrong", "k"));
	ASSERT_TRUE(store.ImportPfxBase64(pfx, target + "\\signCert.der", target + "\\signPri.key", "new-pass", "k"));
	std::vector<std::string> names;
	for (const auto& entry : std::filesystem::directory_iterator(m_temp.Path() + "/d/NPKI/org1/USER/" + name))
		names.push_back(entry.path().filename().string());
	std::sort(names.begin(), names.end());
	EXPECT_EQ((std::vector<std::string> { "SIGNPRI.KEY", "SignCert.der" }), names);
	Json2 list;
	EXPECT_EQ(0, store.ListCertificates("D:\\" + nul, &list));
	ASSERT_EQ(1, store.ListCertificates("D:\\", &list));
	Json2& record = list.GetArray().front();
	EXPECT_EQ(OpensslRecord(kKeys + "signCert.der")[kCertFingerprintSha1].GetString(),
		record[kCertFingerprintSha1].GetString());
	EXPECT_EQ("D:\\\\NPKI\\org1\\USER\\" + name + "\\SIGNPRI.KEY", record[kCertKeyPath].GetString());
	EXPECT_TRUE(store.CheckKeyPassword(record[kCertKeyPath].GetString(), "k"));
	EXPECT_FALSE(store.CheckKeyPassword(record[kCertKeyPath].GetString(), kKeyPassword));
}
