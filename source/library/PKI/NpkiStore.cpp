#include "PKI/NpkiStore.h"

#include "PKI/CertRecord.h"
#include "PKI/OpenSslPtr.h"
#include "PKI/cert_util.h"
#include "base/Encoding.h"
#include "base/FileUtil.h"
#include "base/NetUtil.h"
#include "platform/find.h"
#include "platform/path.h"
#include "platform/text.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

NpkiStore* g_npkiStore = nullptr;

namespace
{

// UTF-16 buffer sizes of the folder walk, counted on the Windows-form text.
const int kFolderPatternUnits = 256;
const int kFilePatternUnits = 2048;
const int kDriveListUnits = 1024;

std::string Utf8Root(const std::string& ansi)
{
	char* converted = nullptr;
	const int length = ConvertEncodingToBuffer(ansi.data(), static_cast<int>(ansi.size()), "CHAR", "UTF-8",
		&converted);
	MallocText owner(converted);
	return length > 0 ? std::string(converted, static_cast<size_t>(length)) : std::string();
}

// Calls `visit`(name, isFolder) for each entry of folder\*, "." and ".."
// left out. False when the pattern does not fit `units` or the folder does
// not open.
template <typename Visit>
bool ForEachEntry(const std::string& folder, int units, Visit visit)
{
	const std::string pattern = folder + "\\*";
	std::unique_ptr<char16_t[]> wide(new char16_t[units]);
	if (MultiByteToWideChar(CP_UTF8, 0, pattern.c_str(), -1, wide.get(), units) == 0)
		return false;
	WIN32_FIND_DATAW data;
	HANDLE search = FindFirstFileW(wide.get(), &data);
	if (search == INVALID_HANDLE_VALUE)
		return false;
	do
	{
		const std::string name = WideToUtf8(data.cFileName);
		if (name != "." && name != "..")
			visit(name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
	} while (FindNextFileW(search, &data));
	FindClose(search);
	return true;
}

// The serial number as a signed 32-bit value: up to 4 bytes big-endian (a
// negative serial keeps its sign), -1 for a longer one. The library's own
// reading would give the 64-bit value here.
long SerialNumber(const ASN1_INTEGER* serial)
{
	const int length = ASN1_STRING_length(serial);
	if (length > 4)
		return -1;
	const unsigned char* bytes = ASN1_STRING_get0_data(serial);
	std::uint32_t value = 0;
	for (int i = 0; i < length; ++i)
		value = (value << 8) | bytes[i];
	if (ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER)
		value = 0u - value;
	return static_cast<std::int32_t>(value);
}

// Seconds of the validity time as local time, kept to their low 32 bits.
long ValiditySeconds(const ASN1_TIME* time)
{
	return static_cast<std::int32_t>(static_cast<std::uint32_t>(AsnTimeToTime(time)));
}

// The certificatePolicies extension as the library prints it: the text after
// "Policy: " on the first line that has it.
bool PolicyId(X509_EXTENSION* extension, std::string& policy)
{
	BioPtr bio(BIO_new(BIO_s_mem()));
	if (!bio || X509V3_EXT_print(bio.get(), extension, 0, 0) <= 0)
		return false;
	char* data = nullptr;
	const long size = BIO_get_mem_data(bio.get(), &data);
	const std::string text(data, size > 0 ? static_cast<size_t>(size) : 0);
	for (size_t start = 0; start < text.size();)
	{
		size_t end = text.find('\n', start);
		if (end == std::string::npos)
			end = text.size();
		const std::string line = text.substr(start, end - start);
		start = end + 1;
		const size_t colon = line.find(": ");
		if (colon != std::string::npos && EqualsNoCaseAscii(line.substr(0, colon), "Policy"))
		{
			policy = line.substr(colon + 2);
			return true;
		}
	}
	return false;
}

// One key per attribute type, in ascending NID order; repeated attributes
// are joined with "|" in the order of the name, empty values included.
void AddName(X509_NAME* name, const char* prefix, Json2& record)
{
	std::map<int, std::string> values;
	for (int i = 0; i < X509_NAME_entry_count(name); ++i)
	{
		X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
		const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
		// Only an entry without data is left out; an empty value is kept.
		if (data == nullptr || ASN1_STRING_get0_data(data) == nullptr)
			continue;
		const char* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(data));
		const std::string value(bytes, strnlen(bytes, static_cast<size_t>(ASN1_STRING_length(data))));
		const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
		const auto found = values.find(nid);
		if (found == values.end())
			values.emplace(nid, value);
		else
			found->second += "|" + value;
	}
	for (const auto& value : values)
		record[prefix + std::string(OBJ_nid2sn(value.first))] = Json2(value.second);
}

void AddFields(X509* cert, Json2& record)
{
	record[kCertVersion] = Json2(X509_get_version(cert) + 1);
	record[kCertSerialNumber] = Json2(SerialNumber(X509_get0_serialNumber(cert)));
	const ASN1_OBJECT* object = nullptr;
	X509_ALGOR_get0(&object, nullptr, nullptr, X509_get0_tbs_sigalg(cert));
	record[kCertSignatureAlgorithm] = Json2(OBJ_obj2nid(object));
	ASN1_OBJECT* keyObject = nullptr;
	X509_PUBKEY_get0_param(&keyObject, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(cert));
	record[kCertKeyAlgorithm] = Json2(OBJ_obj2nid(keyObject));
	record[kCertNotBefore] = Json2(ValiditySeconds(X509_get0_notBefore(cert)));
	record[kCertNotAfter] = Json2(ValiditySeconds(X509_get0_notAfter(cert)));
	for (int i = 0; i < X509_get_ext_count(cert); ++i)
	{
		X509_EXTENSION* extension = X509_get_ext(cert, i);
		std::string policy;
		if (OBJ_obj2nid(X509_EXTENSION_get_object(extension)) == NID_certificate_policies
			&& PolicyId(extension, policy))
			record[kCertPolicyId] = Json2(policy);
	}
	AddName(X509_get_subject_name(cert), kCertSubjectPrefix, record);
	AddName(X509_get_issuer_name(cert), kCertIssuerPrefix, record);
}

// Upper-case hex of the digest of the bytes; empty when the digest fails.
std::string DigestHex(const char* name, const unsigned char* data, int length)
{
	unsigned char* digest = nullptr;
	const int size = DigestByName(name, data, length, &digest);
	MallocBytes owner(digest);
	char* hex = size > 0 ? BytesToHexUpper(digest, size) : nullptr;
	const std::string text = hex != nullptr ? hex : "";
	OPENSSL_free(hex);
	return text;
}

} // namespace

NpkiStore::NpkiStore()
	: m_hasSecondary(false)
{
	const std::string appdata = NetUtil::GetEnvVar("APPDATA");
	const std::string programFiles = NetUtil::GetEnvVar("ProgramFiles") + "\\NPKI";
	if (!appdata.empty() && appdata.find("AppData") != std::string::npos)
	{
		m_primaryRoot = Utf8Root(ParentFolder(appdata) + "\\LocalLow\\NPKI");
		m_secondaryRoot = Utf8Root(programFiles);
		m_hasSecondary = true;
	}
	else
		m_primaryRoot = Utf8Root(programFiles);
}

bool NpkiStore::GetPrimaryRootUtf8(std::string* out)
{
	out->clear();
	if (m_primaryRoot.empty())
		return false;
	*out = m_primaryRoot;
	return true;
}

int NpkiStore::FindCertFolders(const std::string& path, std::list<std::string>* out, bool underUser)
{
	int count = 0;
	ForEachEntry(path, kFolderPatternUnits, [&](const std::string& name, bool isFolder) {
		if (!isFolder)
			return;
		const std::string child = path + "\\" + name;
		if (underUser)
		{
			out->push_back(child);
			++count;
		}
		else
			count += FindCertFolders(child, out, EqualsNoCaseAscii(name, "user"));
	});
	return count;
}

bool NpkiStore::FindKeyPair(const std::string& folder, std::string* derPath, std::string* keyPath)
{
	int found = 0;
	ForEachEntry(folder, kFilePatternUnits, [&](const std::string& name, bool isFolder) {
		if (isFolder)
			return;
		if (EqualsNoCaseAscii(name, "signPri.key"))
		{
			*keyPath = folder + "\\" + name;
			++found;
		}
		else if (EqualsNoCaseAscii(name, "signCert.der"))
		{
			*derPath = folder + "\\" + name;
			++found;
		}
	});
	return found == 2;
}

int NpkiStore::AppendRecords(const std::string& root, Json2* outArray, SerialMap* remember, const SerialMap* known)
{
	std::list<std::string> folders;
	FindCertFolders(root, &folders, false);
	int count = 0;
	for (const std::string& folder : folders)
	{
		std::string derPath;
		std::string keyPath;
		if (folder.empty() || !FindKeyPair(folder, &derPath, &keyPath))
			continue;
		Json2 record;
		std::string md5Hex;
		std::string sha1Hex;
		if (!ReadCertificateInfo(derPath, keyPath, &md5Hex, &sha1Hex, &record))
			continue;
		const long serial = record.HasKey(kCertSerialNumber) ? record[kCertSerialNumber].GetInteger() : 0;
		if (known != nullptr)
		{
			const auto listed = known->find(md5Hex);
			if (listed != known->end() && listed->second != 0)
				continue;
		}
		outArray->Add(std::move(record));
		++count;
		if (remember != nullptr)
			(*remember)[md5Hex] = serial;
	}
	return count;
}

int NpkiStore::ListCertificates(const std::string& drivePath, Json2* outArray)
{
	if (HoldsNul(drivePath))
		return 0;
	if (!drivePath.empty())
		return AppendRecords(drivePath + "\\" + "NPKI", outArray, nullptr, nullptr);
	if (!m_hasSecondary)
		return AppendRecords(m_primaryRoot, outArray, nullptr, nullptr);
	// A certificate under both roots is listed once, from the primary root,
	// and one the second root holds twice is listed once too. Only a non-zero
	// serial marks it as listed: one whose serial reads as 0 is listed twice.
	SerialMap serials;
	const int primary = AppendRecords(m_primaryRoot, outArray, &serials, nullptr);
	return primary + AppendRecords(m_secondaryRoot, outArray, &serials, &serials);
}

int NpkiStore::ListExternalDrives(Json2* outArray)
{
	const std::string home = NetUtil::GetEnvVar("HOMEDRIVE") + "\\";
	char16_t drives[kDriveListUnits];
	const DWORD length = GetLogicalDriveStringsW(kDriveListUnits, drives);
	if (length == 0 || length >= static_cast<DWORD>(kDriveListUnits))
		return 0;
	int count = 0;
	for (const char16_t* drive = drives; *drive != 0; drive += std::char_traits<char16_t>::length(drive) + 1)
	{
		const std::string text = WideToUtf8(drive);
		if (!EqualsNoCaseAscii(text, home))
		{
			outArray->Add(Json2(text));
			++count;
		}
	}
	return count;
}

bool NpkiStore::CheckKeyPassword(const std::string& keyPath, const std::string& password)
{
	if (HoldsNul(keyPath))
		return false;
	unsigned char* bytes = nullptr;
	const int length = ReadWholeFile(keyPath.c_str(), &bytes);
	MallocBytes owner(bytes);
	if (length < 1)
		return false;
	return PkeyPtr(DecryptPrivateKey(bytes, length, password.c_str())) != nullptr;
}

bool NpkiStore::ExportPfxBase64(const std::string& certPath, const std::string& keyPath, const std::string& keyPassword,
	const std::string& pfxPassword, std::string* out)
{
	if (HoldsNul(certPath) || HoldsNul(keyPath))
		return false;
	unsigned char* pfx = nullptr;
	const int length = FilesToPkcs12(certPath.c_str(), keyPath.c_str(), keyPassword.c_str(),
		pfxPassword.c_str(), &pfx);
	MallocBytes pfxOwner(pfx);
	if (length < 1)
		return false;
	char* text = nullptr;
	const int textLength = BioBase64Encode(pfx, length, &text);
	MallocText textOwner(text);
	if (textLength < 1)
		return false;
	out->append(text, static_cast<size_t>(textLength));
	return true;
}

bool NpkiStore::ImportPfxBase64(const std::string& pfxBase64, const std::string& derOutPath, const std::string& keyOutPath,
	const std::string& pfxPassword, const std::string& keyPassword)
{
	if (HoldsNul(derOutPath) || HoldsNul(keyOutPath))
		return false;
	unsigned char* pfx = nullptr;
	const int length = BioBase64Decode(pfxBase64.c_str(), static_cast<int>(pfxBase64.size()), &pfx);
	MallocBytes owner(pfx);
	return length > 0
		&& Pkcs12ToFiles(pfx, length, derOutPath.c_str(), keyOutPath.c_str(), pfxPassword.c_str(),
			   keyPassword.c_str())
		>= 0;
}

bool NpkiStore::InspectPfxBase64(const std::string& pfxBase64, const std::string& password, int selector, std::string* out)
{
	unsigned char* pfx = nullptr;
	const int length = BioBase64Decode(pfxBase64.c_str(), static_cast<int>(pfxBase64.size()), &pfx);
	MallocBytes owner(pfx);
	if (length < 1)
		return false;
	char* property = nullptr;
	const int size = Pkcs12GetProperty(pfx, length, password.c_str(), selector, &property);
	MallocText propertyOwner(property);
	if (size < 1)
		return false;
	out->assign(property, static_cast<size_t>(size));
	return true;
}

bool NpkiStore::ReadCertificateInfo(const std::string& derPath, const std::string& keyPath, std::string* md5Hex,
	std::string* sha1Hex, Json2* record)
{
	if (derPath.empty() || HoldsNul(derPath) || HoldsNul(keyPath))
		return false;
	unsigned char* bytes = nullptr;
	const int length = ReadWholeFile(derPath.c_str(), &bytes);
	MallocBytes owner(bytes);
	if (length < 1)
		return false;
	X509* decoded = nullptr;
	if (DecodeDerCertificate(&decoded, bytes, length) == 1)
	{
		X509Ptr cert(decoded);
		AddFields(cert.get(), *record);
		// The fingerprints are of the file's bytes, trailing bytes included.
		const std::string md5 = DigestHex("MD5", bytes, length);
		if (!md5.empty())
			(*record)[kCertFingerprintMd5] = Json2(*md5Hex = md5);
		const std::string sha1 = DigestHex("SHA1", bytes, length);
		if (!sha1.empty())
			(*record)[kCertFingerprintSha1] = Json2(*sha1Hex = sha1);
	}
	if (!FileExists(derPath) || !FileExists(keyPath))
		return false;
	(*record)[kCertDerPath] = Json2(derPath);
	(*record)[kCertKeyPath] = Json2(keyPath);
	return true;
}
