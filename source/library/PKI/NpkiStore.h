#pragma once

#include "base/Json2.h"

#include <list>
#include <map>
#include <string>

// The user's NPKI certificates on disk: a root folder "NPKI", folders of any
// depth below it, and under each folder named "user" (any case) one folder
// per certificate holding signCert.der and signPri.key. Paths are UTF-8 in
// Windows form. Operations report failure through their results only.
class NpkiStore
{
public:
	// The roots come from APPDATA (its parent's LocalLow\NPKI, then
	// ProgramFiles\NPKI as a second root) or ProgramFiles\NPKI alone.
	NpkiStore();

	bool GetPrimaryRootUtf8(std::string* out);
	// Appends the certificate folders found below path; returns how many.
	int FindCertFolders(const std::string& path, std::list<std::string>* out, bool underUser);
	// Appends one certificate record per certificate of the store's roots
	// (drivePath empty) or of drivePath's NPKI folder; returns how many.
	int ListCertificates(const std::string& drivePath, Json2* outArray);
	// Appends every drive root but the home drive ("D:\"); returns how many.
	int ListExternalDrives(Json2* outArray);
	bool CheckKeyPassword(const std::string& keyPath, const std::string& password);
	bool ExportPfxBase64(const std::string& certPath, const std::string& keyPath, const std::string& keyPassword,
		const std::string& pfxPassword, std::string* out);
	bool ImportPfxBase64(const std::string& pfxBase64, const std::string& derOutPath, const std::string& keyOutPath,
		const std::string& pfxPassword, const std::string& keyPassword);
	// The selector is a Pkcs12Property (PKI/cert_util.h).
	bool InspectPfxBase64(const std::string& pfxBase64, const std::string& password, int selector, std::string* out);
	// True when the folder holds exactly one signCert.der and one signPri.key
	// (names in any case); the paths keep the case found on disk.
	bool FindKeyPair(const std::string& folder, std::string* derPath, std::string* keyPath);
	// Fills the record of one certificate (see PKI/CertRecord.h). False when
	// the certificate file is unreadable or either file is missing; a file
	// that is no certificate gives a record with the two paths only.
	bool ReadCertificateInfo(const std::string& derPath, const std::string& keyPath, std::string* md5Hex, std::string* sha1Hex,
		Json2* record);

private:
	// MD5 of the certificate file -> its serial number.
	using SerialMap = std::map<std::string, long>;

	// Appends the records of one root; with `remember` notes each record's
	// serial, with `known` skips certificates already listed under a non-zero
	// serial.
	int AppendRecords(const std::string& root, Json2* outArray, SerialMap* remember, const SerialMap* known);

	std::string m_primaryRoot;
	std::string m_secondaryRoot;
	bool m_hasSecondary;
};

// The agent's one store, created at start-up and never destroyed.
extern NpkiStore* g_npkiStore;
