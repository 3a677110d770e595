#include "agent/EventDispatcher.h"

#include "PKI/NpkiStore.h"
#include "base/Exception.h"
#include "base/FileUtil.h"
#include "base/Json2.h"

#include "library/PKI/CryptoTestEnv.h"
#include "library/sockets/SocketTestSupport.h"
#include "support/Shell.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;

const std::string kKeys = ZC_TEST_DATA_DIR "/keys/";
const std::string kCerts = ZC_TEST_DATA_DIR "/npki/";
const char kKeyPassword[] = "npki-Pass1!";
const char kPfxPassword[] = "pfx-Pass2?";
const char kExport[] = "zimracert_getExportCertificationB64";
const char kImport[] = "zimracert_ImportCertificationB64";

std::string ReadFile(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string JsonText(const std::string& text) { return Json2(text).ToString(true); }

// The reply the page must get, around the data's JSON text.
std::string Reply(const std::string& event, const std::string& data)
{
	return "[\"zimracert\",{\"call_back\":\"" + event + "\",\"data\":" + data + "}]";
}

std::string Failure(int reason) { return "{\"REASON\":" + std::to_string(reason) + ",\"SUCCESS\":false}"; }

const std::string kSuccess = "{\"REASON\":\"\",\"SUCCESS\":true}";

class EventDispatcherTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		const std::string t = m_temp.Path();
		setenv("ZIMRACERT_DRIVES", ("C=" + t + "/c;D=" + t + "/d;E=" + t + "/e").c_str(), 1);
		setenv("HOMEDRIVE", "C:", 1);
		setenv("ProgramFiles", "C:\\Program Files", 1);
		unsetenv("APPDATA");
		for (const char* drive : { "/c", "/d", "/e" })
			fs::create_directories(t + drive);
		m_store.reset(new NpkiStore);
	}

	// The dispatcher's reply, "" for none; stderr must stay quiet.
	std::string Send(const std::string& message)
	{
		testing::internal::CaptureStderr();
		const EventDispatcher::Outcome outcome = EventDispatcher::Dispatch(message, m_store.get());
		EXPECT_EQ("", testing::internal::GetCapturedStderr()) << message;
		EXPECT_FALSE(outcome.terminate) << message;
		EXPECT_EQ(outcome.hasReply, !outcome.reply.empty());
		return outcome.reply;
	}

	std::string Host(const std::string& relative) const { return m_temp.Path() + "/" + relative; }

	void PutPair(const std::string& cert, const std::string& hostFolder)
	{
		fs::create_directories(Host(hostFolder));
		fs::copy_file(cert, Host(hostFolder + "/signCert.der"));
		fs::copy_file(kKeys + "signPri.seed.key", Host(hostFolder + "/signPri.key"));
	}

	// A PKCS#12 of the fixture key under a certificate with this subject,
	// made by the openssl command, as Base64 with line feeds.
	std::string MakePfx(const std::string& subject)
	{
		const std::string cert = Host("made.pem");
		const std::string pfx = Host("made.p12");
		Shell("openssl req -new -x509 -utf8 -key " + kKeys + "key.pem -days 30 -subj '" + subject + "' -out " + cert);
		Shell("openssl pkcs12 -export -in " + cert + " -inkey " + kKeys + "key.pem -passout 'pass:" + kPfxPassword
			+ "' -out " + pfx);
		return Shell("openssl base64 -in " + pfx);
	}

	std::string ImportMessage(const std::string& pfx, const std::string& external,
		const std::string& password = kPfxPassword)
	{
		return "[\"" + std::string(kImport) + "\",{\"certFile\":" + JsonText(pfx) + ",\"certPassword\":"
			+ JsonText(password) + ",\"external\":" + JsonText(external) + "}]";
	}

	std::string List(const std::string& external)
	{
		return Send("[\"zimracert_getCertification\",{\"external\":" + JsonText(external) + "}]");
	}

	std::string ExportPair(const std::string& certPath, const std::string& keyPath)
	{
		return Send("[\"" + std::string(kExport) + "\",{\"certPath\":" + JsonText(certPath) + ",\"keyPath\":"
			+ JsonText(keyPath) + ",\"certPassword\":" + JsonText(kKeyPassword) + "}]");
	}

	// Every regular file below the temporary folder, relative to it.
	std::vector<std::string> Files()
	{
		std::vector<std::string> files;
		for (const auto& entry : fs::recursive_directory_iterator(m_temp.Path()))
			if (entry.is_regular_file())
				files.push_back(entry.path().string().substr(m_temp.Path().size() + 1));
		std::sort(files.begin(), files.end());
		return files;
	}

	TempFolder m_temp;
	std::unique_ptr<NpkiStore> m_store;
};

} // namespace

TEST_F(EventDispatcherTest, MessagesThatGetNoReply)
{
	for (const char* message : { "[\"zimracert_getVersion\",{}]", "[\"zimracert_setOptions\",{}]",
			 "[\"zimracert_getConvertNOS\",{}]", "[\"zimracert_getConvertVendor\",{}]",
			 "[\"zimracert_localStorage\",{}]", "[\"zimracert_unknown\",{}]",
			 "[\"zimracert_getExternalDrive\",{},3]", "[\"zimracert_getExternalDrive\"]",
			 "{\"zimracert_getExternalDrive\":{}}", "[42,{}]", "[[\"zimracert_getExternalDrive\"],{}]",
			 "\"zimracert_getExternalDrive\"" })
		EXPECT_EQ("", Send(message)) << message;
	// An escaped letter reads as the letter, as in any JSON reader.
	EXPECT_EQ(Send("[\"zimracert_getExternalDrive\",{}]"), Send("[\"zimracert_getExternal\\u0044rive\",{}]"));

	// Not JSON: the parser's message on the error stream, and no reply.
	const std::string text = "[\"zimracert_terminate\",{";
	const std::string parserMessage = ThrownMessage([&] { Json2::Parse(text); });
	ASSERT_NE("", parserMessage);
	testing::internal::CaptureStderr();
	const EventDispatcher::Outcome broken = EventDispatcher::Dispatch(text, m_store.get());
	EXPECT_EQ("onmessage error[" + parserMessage + "] \n", testing::internal::GetCapturedStderr());
	EXPECT_FALSE(broken.hasReply);
	EXPECT_FALSE(broken.terminate);

	// Terminate in any letter case, without a reply.
	const EventDispatcher::Outcome stop = EventDispatcher::Dispatch("[\"ZIMRACERT_Terminate\",null]", m_store.get());
	EXPECT_TRUE(stop.terminate);
	EXPECT_FALSE(stop.hasReply);
}

TEST_F(EventDispatcherTest, ListsCertificatesAndDrives)
{
	// Nothing stored yet: "" rather than an empty list; the event's case is the page's.
	EXPECT_EQ(Reply("ZimraCert_getCertification", "\"\""), Send("[\"ZimraCert_getCertification\",{}]"));

	PutPair(kCerts + "korean.der", "c/Program Files/NPKI/yessign/USER/cn=홍길동()0012345");
	PutPair(kKeys + "signCert.der", "d/NPKI/org1/USER/cn=name1");
	// Data that is no object lists the store's own roots, like an empty object.
	for (const char* data : { "{}", "\"D:\\\\\"", "{\"external\":\"\"}" })
	{
		Json2 reply = Json2::Parse(Send(std::string("[\"zimracert_getCertification\",") + data + "]"));
		Json2& records = reply.GetArray().back()["data"];
		ASSERT_EQ(1u, records.GetArray().size()) << data;
		Json2& record = records.GetArray().front();
		EXPECT_EQ("C:\\Program Files\\NPKI\\yessign\\USER\\cn=홍길동()0012345\\signCert.der",
			record["cert.der.path"].GetString());
		EXPECT_EQ("홍길동()0012345", record["cert.subjectname.CN"].GetString());
		const std::string sha1 = Shell("openssl x509 -inform DER -noout -fingerprint -sha1 -in " + kCerts + "korean.der");
		EXPECT_EQ(ReplaceAll(sha1.substr(sha1.find('=') + 1, 59), ":", ""), record["cert.fingerprint.SHA1"].GetString());
	}

	Json2 external = Json2::Parse(Send("[\"zimracert_getCertification\",{\"external\":\"D:\\\\\"}]"));
	Json2& records = external.GetArray().back()["data"];
	ASSERT_EQ(1u, records.GetArray().size());
	EXPECT_EQ("D:\\\\NPKI\\org1\\USER\\cn=name1\\signPri.key", records.GetArray().front()["cert.key.path"].GetString());
	EXPECT_EQ(Reply("zimracert_getCertification", "\"\""), Send("[\"zimracert_getCertification\",{\"external\":\"E:\\\\\"}]"));

	EXPECT_EQ(Reply("zimracert_getExternalDrive", "[\"D:\\\\\",\"E:\\\\\"]"), Send("[\"zimracert_getExternalDrive\",5]"));
	setenv("ZIMRACERT_DRIVES", ("C=" + Host("c")).c_str(), 1);
	EXPECT_EQ(Reply("zimracert_getExternalDrive", "\"\""), Send("[\"zimracert_getExternalDrive\",{}]"));
}

TEST_F(EventDispatcherTest, ExportAnswersEachReasonInTurn)
{
	PutPair(kKeys + "signCert.der", "c/NPKI/org1/USER/cn=name1");
	const std::string cert = "C:\\NPKI\\org1\\USER\\cn=name1\\signCert.der";
	const std::string key = "C:\\NPKI\\org1\\USER\\cn=name1\\signPri.key";
	auto send = [&](const std::string& data) { return Send("[\"" + std::string(kExport) + "\"," + data + "]"); };
	auto members = [&](const std::string& certPath, const std::string& keyPath, const std::string& password) {
		return send("{\"certPath\":" + JsonText(certPath) + ",\"keyPath\":" + JsonText(keyPath)
			+ ",\"certPassword\":" + JsonText(password) + "}");
	};

	for (const char* data : { "{\"certPath\":\"a\",\"certPassword\":\"p\"}", "[]" })
		EXPECT_EQ(Reply(kExport, Failure(-9999)), send(data)) << data;
	EXPECT_EQ(Reply(kExport, Failure(-9998)), members(cert, "", kKeyPassword));
	EXPECT_EQ(Reply(kExport, Failure(-9998)), send("{\"certPath\":\"a\",\"keyPath\":7,\"certPassword\":\"p\"}"));
	for (const std::string& missing : { key + "x", std::string("C:\\NPKI\\org1\\USER\\cn=name1"), std::string(300, 'k') })
		EXPECT_EQ(Reply(kExport, Failure(-9993)), members(cert, missing, kKeyPassword)) << missing;
	EXPECT_EQ(Reply(kExport, Failure(-9997)), members(cert, key, "wrong"));
	// A NUL in the password: the text up to it is the key's password, the
	// whole is not.
	EXPECT_EQ(Reply(kExport, Failure(-9997)), send("{\"certPath\":" + JsonText(cert) + ",\"keyPath\":"
		+ JsonText(key) + ",\"certPassword\":\"" + kKeyPassword + "\\u0000xyz\"}"));
	EXPECT_EQ(Reply(kExport, Failure(-9996)), members(key, key, kKeyPassword));
	// A certificate path too long for its buffer: no result object at all.
	EXPECT_EQ(Reply(kExport, "null"), members("C:\\" + std::string(253, 'c'), key, kKeyPassword));

	Json2 reply = Json2::Parse(members(cert, key, kKeyPassword));
	Json2& result = reply.GetArray().back()["data"];
	EXPECT_EQ("", result["REASON"].GetString());
	EXPECT_EQ("true", result["SUCCESS"].ToString(true));
	const std::string convert = result["CONVERT"].GetString();
	EXPECT_EQ(std::string::npos, convert.find('\n'));

	// The PKCS#12 opens with the key's password and holds the pair.
	std::ofstream(Host("out.b64")) << convert;
	Shell("openssl base64 -d -A -in " + Host("out.b64") + " -out " + Host("out.p12"));
	const std::string pass = std::string(" -legacy -passin 'pass:") + kKeyPassword + "'";
	const std::string modulus = Shell("openssl pkcs12 -in " + Host("out.p12") + pass
		+ " -nodes -nocerts | openssl rsa -noout -modulus");
	EXPECT_EQ(Shell("openssl rsa -in " + kKeys + "key.pem -noout -modulus"), modulus);
	EXPECT_EQ(Shell("openssl x509 -inform DER -in " + kKeys + "signCert.der -noout -fingerprint"),
		Shell("openssl pkcs12 -in " + Host("out.p12") + pass + " -nokeys | openssl x509 -noout -fingerprint"));
}

// A path from the page names a file only as "X:\..." on a drive of the
// table. Pairs lie where the other forms lead: the folder above the drives
// (by host path, relative to the working folder, or by ".." climbing out of
// a drive) and C:'s NPKI folder (the current drive's, "\..." or "C:...").
TEST_F(EventDispatcherTest, PagePathsReachOnlyTheDrives)
{
	PutPair(kKeys + "signCert.der", "NPKI/org1/USER/outside");
	PutPair(kKeys + "signCert.der", "c/NPKI/org1/USER/current");
	PutPair(kCerts + "plain.der", "d/NPKI/org1/USER/inside");
	const std::string relative = fs::relative(m_temp.Path(), fs::current_path()).string();
	for (const std::string& external : { m_temp.Path(), relative, std::string("\\"), std::string("C:"),
			 std::string("D:/"), std::string("Q:\\") })
		EXPECT_EQ(Reply("zimracert_getCertification", "\"\""), List(external)) << external;
	Json2 climbed = Json2::Parse(List("D:\\..\\..\\"));
	Json2& records = climbed.GetArray().back()["data"];
	ASSERT_EQ(1u, records.GetArray().size());
	EXPECT_EQ("D:\\..\\..\\\\NPKI\\org1\\USER\\inside\\signCert.der",
		records.GetArray().front()["cert.der.path"].GetString());

	const std::string cert = "C:\\NPKI\\org1\\USER\\current\\signCert.der";
	const std::string key = "C:\\NPKI\\org1\\USER\\current\\signPri.key";
	ASSERT_NE(std::string::npos, ExportPair(cert, key).find("\"SUCCESS\":true"));
	const std::string outside = "/NPKI/org1/USER/outside/";
	for (const std::string& form : { m_temp.Path() + outside, relative + outside, std::string("D:\\..\\..") + outside,
			 std::string("\\NPKI\\org1\\USER\\current\\"), std::string("C:NPKI\\org1\\USER\\current\\") })
	{
		EXPECT_EQ(Reply(kExport, Failure(-9993)), ExportPair(cert, form + "signPri.key")) << form;
		EXPECT_EQ(Reply(kExport, Failure(-9996)), ExportPair(form + "signCert.der", key)) << form;
	}
}

// A link on a drive is followed only while it stays on the drive: one that
// leads off it lists and exports nothing, as a missing file does, and an
// import refuses to write through one that leaves the drive's NPKI folder
// (even for elsewhere on the drive), at the step that meets it. Links that
// stay within work as folders do.
TEST_F(EventDispatcherTest, LinksLeavingTheDriveNameNothing)
{
	PutPair(kKeys + "signCert.der", "out/NPKI/org1/USER/far");
	PutPair(kKeys + "signCert.der", "d/real/NPKI/org1/USER/near");
	fs::create_directory_symlink(Host("out"), Host("d/lnk"));
	fs::create_directory_symlink(Host("out/NPKI"), Host("c/NPKI"));
	fs::create_directory_symlink("real", Host("d/inner"));
	const std::string nearKey = "D:\\inner\\NPKI\\org1\\USER\\near\\signPri.key";
	const struct
	{
		const char* drive;
		const char* pair;
		bool inside;
	} places[] = { { "D:\\lnk", "far", false }, { "C:\\", "far", false }, { "D:\\inner", "near", true } };
	for (const auto& p : places)
	{
		Json2 listed = Json2::Parse(List(p.drive));
		Json2& records = listed.GetArray().back()["data"];
		EXPECT_EQ(p.inside ? 1u : 0u, records.Type() == Json2::Array ? records.GetArray().size() : 0u) << p.drive;
		const std::string folder = p.drive + std::string("\\NPKI\\org1\\USER\\") + p.pair + "\\";
		const std::string reply = ExportPair(folder + "signCert.der", folder + "signPri.key");
		EXPECT_EQ(p.inside, reply.find("\"SUCCESS\":true") != std::string::npos) << reply;
		if (!p.inside)
		{
			EXPECT_EQ(Reply(kExport, Failure(-9993)), reply) << p.drive;
			EXPECT_EQ(Reply(kExport, Failure(-9996)), ExportPair(folder + "signCert.der", nearKey)) << p.drive;
		}
	}

	// A drive's listing leaves out a certificate whose files lead off the
	// drive (here to the pair outside), one file or both; files linked
	// within the drive are listed.
	const struct
	{
		const char* folder;
		bool certOff, keyOff;
	} pairs[] = { { "within", false, false }, { "both", true, true }, { "cert", true, false }, { "key", false, true } };
	for (const auto& p : pairs)
	{
		const std::string folder = Host("d/NPKI/files/USER/") + p.folder;
		fs::create_directories(folder);
		for (const auto& [name, off] : { std::pair{ "/signCert.der", p.certOff }, std::pair{ "/signPri.key", p.keyOff } })
			fs::create_symlink(Host(off ? "out/NPKI/org1/USER/far" : "d/real/NPKI/org1/USER/near") + name, folder + name);
	}
	Json2 listed = Json2::Parse(List("D:\\"));
	Json2& records = listed.GetArray().back()["data"];
	ASSERT_EQ(Json2::Array, records.Type());
	ASSERT_EQ(1u, records.GetArray().size());
	EXPECT_EQ("D:\\\\NPKI\\files\\USER\\within\\signCert.der", records.GetArray().front()["cert.der.path"].GetString());
	// A drive whose every certificate leads off it lists nothing, as an empty drive does.
	fs::create_directories(Host("e/NPKI/files/USER/off"));
	for (const char* name : { "/signCert.der", "/signPri.key" })
		fs::create_symlink(Host("out/NPKI/org1/USER/far") + name, Host("e/NPKI/files/USER/off") + name);
	EXPECT_EQ(Reply("zimracert_getCertification", "\"\""), List("E:\\"));

	// Imports into E:, planted afresh each time; nothing outside changes.
	const std::string base64 = Shell("openssl base64 -in " + kKeys + "aes.p12");
	const std::string name = "NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR";
	std::ofstream(Host("out/secret")) << "outside";
	auto outside = [&] {
		std::string tree;
		for (const auto& entry : fs::recursive_directory_iterator(Host("out")))
			tree += entry.path().string() + " " + (entry.is_regular_file() ? std::to_string(entry.file_size()) : "") + "\n";
		return tree + ReadFile(Host("out/secret"));
	};
	const std::string before = outside();
	const struct
	{
		std::string link, target, reply, lands; // lands: the key's folder after a success
	} imports[] = { { "NPKI", "out/NPKI", Failure(-9996), "" }, { "NPKI/org1", "out", Failure(-9995), "" },
		{ name + "/signPri.key", "out/secret", Failure(-9994), "" },
		{ "NPKI", "e/store", kSuccess, "e/store/org1/USER/cn=name1,ou=unit1,o=org1,c=KR" },
		{ "NPKI/org1", "e/org", Failure(-9995), "" },
		{ "NPKI/org1", "e/NPKI/org", kSuccess, "e/NPKI/org/USER/cn=name1,ou=unit1,o=org1,c=KR" } };
	for (const auto& c : imports)
	{
		fs::remove_all(Host("e"));
		fs::create_directories(fs::path(Host("e/" + c.link)).parent_path());
		if (!fs::exists(Host(c.target)))
			fs::create_directories(Host(c.target));
		fs::create_symlink(Host(c.target), Host("e/" + c.link));
		EXPECT_EQ(Reply(kImport, c.reply), Send(ImportMessage(base64, "E:\\"))) << c.link;
		EXPECT_EQ(before, outside()) << c.link;
		EXPECT_EQ(!c.lands.empty(), fs::is_regular_file(Host(c.lands + "/signPri.key"))) << c.link;
	}
}

// Key and certificate files are a few kilobytes: one over 1 MiB is refused
// unread. The pair's files grow by a sparse tail, which the library would
// read past: only the size refuses them.
TEST_F(EventDispatcherTest, FilesOverOneMebibyteAreNotRead)
{
	const std::string folder = "c/Program Files/NPKI/org1/USER/cn=name1/";
	const std::string cert = "C:\\Program Files\\NPKI\\org1\\USER\\cn=name1\\signCert.der";
	const std::string key = "C:\\Program Files\\NPKI\\org1\\USER\\cn=name1\\signPri.key";
	const uintmax_t mebibyte = 1024 * 1024;
	const struct
	{
		uintmax_t certSize, keySize;
		std::string reason; // "" for success
		size_t listed;
	} cases[] = { { mebibyte, mebibyte, "", 1 }, { mebibyte + 1, 0, "-9996", 0 }, { 0, mebibyte + 1, "-9997", 1 },
		{ 64 * mebibyte, 0, "-9996", 0 }, { 0, 64 * mebibyte, "-9997", 1 } };
	for (const auto& c : cases)
	{
		fs::remove_all(Host("c/Program Files"));
		PutPair(kKeys + "signCert.der", folder);
		if (c.certSize != 0)
			fs::resize_file(Host(folder + "signCert.der"), c.certSize);
		if (c.keySize != 0)
			fs::resize_file(Host(folder + "signPri.key"), c.keySize);
		Json2 reply = Json2::Parse(Send("[\"" + std::string(kExport) + "\",{\"certPath\":" + JsonText(cert)
			+ ",\"keyPath\":" + JsonText(key) + ",\"certPassword\":" + JsonText(kKeyPassword) + "}]"));
		EXPECT_EQ(c.reason.empty() ? "\"\"" : c.reason, reply.GetArray().back()["data"]["REASON"].ToString(true))
			<< c.certSize << " " << c.keySize;
		Json2 list = Json2::Parse(Send("[\"zimracert_getCertification\",{}]"));
		Json2& data = list.GetArray().back()["data"];
		EXPECT_EQ(c.listed, data.Type() == Json2::Array ? data.GetArray().size() : 0u) << c.certSize << " " << c.keySize;
	}
}

TEST_F(EventDispatcherTest, ImportWritesTheLayoutAndAnswersEachReasonInTurn)
{
	const std::string base64 = Shell("openssl base64 -in " + kKeys + "aes.p12");
	ASSERT_NE(std::string::npos, base64.find('\n'));
	auto send = [&](const std::string& data) { return Send("[\"" + std::string(kImport) + "\"," + data + "]"); };

	EXPECT_EQ(Reply(kImport, Failure(-9999)), send("{\"certFile\":\"a\",\"certPassword\":\"p\"}"));
	EXPECT_EQ(Reply(kImport, Failure(-9999)), send("7"));
	EXPECT_EQ(Reply(kImport, Failure(-9998)), Send(ImportMessage("\n\n", "")));
	EXPECT_EQ(Reply(kImport, Failure(-9998)), Send(ImportMessage(base64, "", "")));
	// The drive must be the root of one of this machine's drives.
	for (const char* external : { "Q:\\", "D:", "D:\\x", "..\\", "/tmp/", "D:/" })
		EXPECT_EQ(Reply(kImport, Failure(-9996)), Send(ImportMessage(base64, external))) << external;
	EXPECT_EQ(Reply(kImport, Failure(-9997)), Send(ImportMessage(base64, "d:\\", "wrong")));
	EXPECT_EQ(Reply(kImport, Failure(-9997)), send("{\"certFile\":" + JsonText(base64) + ",\"certPassword\":\""
		+ kPfxPassword + "\\u0000x\",\"external\":\"d:\\\\\"}"));
	EXPECT_FALSE(std::filesystem::exists(Host("d/NPKI/org1")));
	EXPECT_EQ(Reply(kImport, Failure(-9997)), Send(ImportMessage(MakePfx("/C=KR/CN=no organisation"), "D:\\")));

	// Into D:'s NPKI folder, line feeds and all.
	EXPECT_EQ(Reply(kImport, kSuccess), Send(ImportMessage(base64, "d:\\")));
	const std::string folder = Host("d/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR/");
	EXPECT_EQ(ReadFile(kKeys + "signCert.der"), ReadFile(folder + "signCert.der"));
	// The key file, read by the fixture tool: the PKCS#12's key under its password.
	const std::string decrypted = Host("key.der");
	EXPECT_EQ(0u, Shell("python3 " + kKeys + "npki_keys.py decrypt '" + folder + "signPri.key' '" + kPfxPassword
		+ "' " + decrypted).rfind("seed", 0));
	EXPECT_EQ(Shell("openssl rsa -in " + kKeys + "key.pem -noout -modulus"),
		Shell("openssl rsa -inform DER -in " + decrypted + " -noout -modulus"));
	Json2 listed = Json2::Parse(Send("[\"zimracert_getCertification\",{\"external\":\"D:\\\\\"}]"));
	EXPECT_EQ(1u, listed.GetArray().back()["data"].GetArray().size());

	// An empty drive means the store's primary root.
	EXPECT_EQ(Reply(kImport, kSuccess), Send(ImportMessage(base64, "")));
	EXPECT_TRUE(fs::is_regular_file(Host("c/Program Files/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR/signPri.key")));

	// A file in the way of the key: the write fails after the folder was made.
	const std::string blocked = MakePfx("/C=KR/O=org2/CN=blocked");
	fs::create_directories(Host("e/NPKI/org2/USER/cn=blocked,o=org2,c=KR/signPri.key/x"));
	EXPECT_EQ(Reply(kImport, Failure(-9994)), Send(ImportMessage(blocked, "E:\\")));
}

TEST_F(EventDispatcherTest, ImportNamesFromTheCertificateNeverLeaveTheNpkiFolder)
{
	const std::vector<std::string> before = Files();
	for (const char* subject : { "/C=KR/O=..\\/x/CN=a", "/C=KR/O=../CN=a", "/C=KR/O=./CN=a", "/C=KR/O=a:b/CN=a",
			 "/C=KR/O=a\\\\b/CN=a" })
		EXPECT_EQ(Reply(kImport, Failure(-9997)), Send(ImportMessage(MakePfx(subject), "D:\\"))) << subject;
	for (const char* subject : { "/C=KR/O=org/CN=a\\/b", "/C=KR/O=org/CN=..\\/..\\/x" })
		EXPECT_EQ(Reply(kImport, Failure(-9995)), Send(ImportMessage(MakePfx(subject), "D:\\"))) << subject;

	// Only the certificate files the test made itself are new.
	std::vector<std::string> after = Files();
	after.erase(std::remove_if(after.begin(), after.end(), [](const std::string& f) { return f.rfind("made.", 0) == 0; }),
		after.end());
	EXPECT_EQ(before, after);
	EXPECT_TRUE(fs::is_directory(Host("d/NPKI")));
	EXPECT_FALSE(fs::exists(Host("d/x")));
	EXPECT_FALSE(fs::exists(Host("d/NPKI/x")));
}

TEST(EventDispatcherNames, FolderNamesAndDriveRoots)
{
	for (const std::string good : { "org1", "cn=홍길동()0012345,ou=BANK", "a.b", "...", " x" })
		EXPECT_TRUE(IsSafeFolderName(good)) << good;
	for (const std::string& bad : std::vector<std::string> { "", ".", "..", "a/b", "a\\b", "C:", std::string("a\0b", 3), "a\tb", "a\x7f" })
		EXPECT_FALSE(IsSafeFolderName(bad)) << bad;

	TempFolder temp;
	setenv("ZIMRACERT_DRIVES", ("C=" + temp.Path() + ";d=" + temp.Path()).c_str(), 1);
	EXPECT_TRUE(EventDispatcher::IsExistingDriveRoot("D:\\"));
	EXPECT_TRUE(EventDispatcher::IsExistingDriveRoot("c:\\"));
	for (const char* bad : { "E:\\", "D:", "D:/", "DD:\\", "D:\\\\", "" })
		EXPECT_FALSE(EventDispatcher::IsExistingDriveRoot(bad)) << bad;
}

TEST(EventDispatcherNoStore, CertificateEventsFindNothing)
{
	auto send = [](const std::string& message) { return EventDispatcher::Dispatch(message, nullptr).reply; };
	EXPECT_EQ(Reply("zimracert_getCertification", "\"\""), send("[\"zimracert_getCertification\",{}]"));
	EXPECT_EQ(Reply("zimracert_getExternalDrive", "\"\""), send("[\"zimracert_getExternalDrive\",{}]"));
	EXPECT_EQ(Reply(kExport, Failure(-9999)),
		send(std::string("[\"") + kExport + "\",{\"certPath\":\"a\",\"keyPath\":\"b\",\"certPassword\":\"c\"}]"));
	EXPECT_EQ(Reply(kImport, Failure(-9999)),
		send(std::string("[\"") + kImport + "\",{\"certFile\":\"a\",\"certPassword\":\"b\",\"external\":\"\"}]"));
}
