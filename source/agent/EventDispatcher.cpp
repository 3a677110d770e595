#include "agent/EventDispatcher.h"

#include "PKI/CertRecord.h"
#include "PKI/NpkiStore.h"
#include "PKI/OpenSslPtr.h"
#include "PKI/cert_util.h"
#include "base/Exception.h"
#include "base/FileUtil.h"
#include "base/Json2.h"
#include "platform/files.h"
#include "platform/text.h"

#include <cstdio>
#include <cstring>
#include <list>

namespace EventDispatcher
{

namespace
{

// Conversion buffers of the export and import paths, in UTF-16 units.
const int kExportPathUnits = 256;
const int kImportPathUnits = 512;

enum Event
{
	EventNone,
	EventTerminate,
	EventIgnored, // known names without work or reply
	EventCertification,
	EventExternalDrive,
	EventExport,
	EventImport,
};

struct EventName
{
	const char* name;
	Event event;
};

// In the order the names are tried.
const EventName kEvents[] = {
	{ "zimracert_terminate", EventTerminate },
	{ "zimracert_setOptions", EventIgnored },
	{ "zimracert_getVersion", EventIgnored },
	{ "zimracert_getCertification", EventCertification },
	{ "zimracert_getExternalDrive", EventExternalDrive },
	{ "zimracert_getConvertNOS", EventIgnored },
	{ "zimracert_getConvertVendor", EventIgnored },
	{ "zimracert_getExportCertificationB64", EventExport },
	{ "zimracert_ImportCertificationB64", EventImport },
	{ "zimracert_localStorage", EventIgnored },
};

// The event as written JSON against each name in quotes: only a string
// whose text needs no escaping can match.
Event Identify(const Json2& event)
{
	const std::string written = event.ToString(true);
	for (const EventName& entry : kEvents)
		if (EqualsNoCaseAscii(written, std::string("\"") + entry.name + "\""))
			return entry.event;
	return EventNone;
}

Json2 Failure(int reason)
{
	Json2 result;
	result["SUCCESS"] = Json2(false);
	result["REASON"] = Json2(reason);
	return result;
}

Json2 Success()
{
	Json2 result;
	result["SUCCESS"] = Json2(true);
	result["REASON"] = Json2("");
	return result;
}

// A list, or "" when it stayed empty.
Json2 ListOrEmpty(int count, Json2 list)
{
	return count > 0 ? list : Json2("");
}

// A path from the page names a file only when it is a drive path on one of
// this machine's drives that stays on it, links and all (base/FileUtil.h);
// any other names none.
std::string PagePath(const std::string& path)
{
	return StaysOnItsDrive(path) ? path : std::string();
}

// A certificate of a drive is listed only when the page could export it:
// both its files stay on the drive, links and all.
int KeepOnItsDrive(Json2& list)
{
	std::list<Json2>& records = list.GetArray();
	records.remove_if([](Json2& record) {
		return PagePath(record[kCertDerPath].GetString()).empty() || PagePath(record[kCertKeyPath].GetString()).empty();
	});
	return static_cast<int>(records.size());
}

Json2 ListCertificates(Json2& data, NpkiStore* store)
{
	// No drive lists the store's own roots; a drive that names nothing finds
	// nothing, nor does one whose NPKI folder, the folder walked, leaves it.
	const std::string external = data.HasKey("external") ? data["external"].GetString() : "";
	Json2 list;
	const bool names = external.empty() || (IsExistingDrivePath(external) && StaysOnItsDrive(external + "\\NPKI"));
	int count = store != nullptr && names ? store->ListCertificates(external, &list) : 0;
	if (count > 0 && !external.empty())
		count = KeepOnItsDrive(list);
	return ListOrEmpty(count, std::move(list));
}

Json2 ListDrives(NpkiStore* store)
{
	Json2 list;
	const int count = store != nullptr ? store->ListExternalDrives(&list) : 0;
	return ListOrEmpty(count, std::move(list));
}

bool HasAll(const Json2& data, std::initializer_list<const char*> names)
{
	for (const char* name : names)
		if (!data.HasKey(name))
			return false;
	return true;
}

// False when the path does not fit, or holds a NUL that would make it name
// another file.
bool ToWide(const std::string& text, char16_t* buffer, int units)
{
	return !HoldsNul(text)
		&& MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, units) != 0;
}

Json2 Export(Json2& data, NpkiStore* store)
{
	if (store == nullptr || !HasAll(data, { "certPath", "keyPath", "certPassword" }))
		return Failure(ReasonMissingMember);
	const std::string password = data["certPassword"].GetString();
	if (data["certPath"].GetString().empty() || data["keyPath"].GetString().empty() || password.empty())
		return Failure(ReasonEmptyMember);
	// A path that names nothing answers as a missing file does.
	const std::string certPath = PagePath(data["certPath"].GetString());
	const std::string keyPath = PagePath(data["keyPath"].GetString());

	char16_t certWide[kExportPathUnits];
	char16_t keyWide[kExportPathUnits];
	const bool certFits = ToWide(certPath, certWide, kExportPathUnits);
	const bool keyFits = ToWide(keyPath, keyWide, kExportPathUnits);
	// A key path too long for its buffer names no file that opens.
	if (!FilePtr(keyFits ? _wfopen(keyWide, u"r") : nullptr))
		return Failure(ReasonKeyUnreadable);
	if (!certFits)
		return Json2(); // the reply's data is null

	if (HoldsNul(password) || !store->CheckKeyPassword(keyPath, password))
		return Failure(ReasonBadPassword);
	std::string pfx;
	if (!store->ExportPfxBase64(certPath, keyPath, password, password, &pfx))
		return Failure(ReasonPfxFailed);
	Json2 result = Success();
	result["CONVERT"] = Json2(ReplaceAll(pfx, "\n", ""));
	return result;
}

Json2 Import(Json2& data, NpkiStore* store)
{
	if (store == nullptr || !HasAll(data, { "certFile", "certPassword", "external" }))
		return Failure(ReasonMissingMember);
	const std::string pfx = ReplaceAll(data["certFile"].GetString(), "\n", "");
	const std::string password = data["certPassword"].GetString();
	const std::string external = data["external"].GetString();
	if (pfx.empty() || password.empty())
		return Failure(ReasonEmptyMember);

	// Every folder below comes from the page: the drive must be one of this
	// machine's, the two names taken from the certificate must each stay one
	// folder, and no link on the drive may lead elsewhere, so that nothing is
	// written outside that drive's NPKI folder. Each check comes before the
	// step it guards makes anything.
	std::string folder;
	if (external.empty())
		store->GetPrimaryRootUtf8(&folder);
	else if (IsExistingDriveRoot(external) && StaysOnItsDrive(external + "NPKI"))
		folder = external + "NPKI";
	if (folder.empty() || MakeDirs(folder.c_str()) != 1)
		return Failure(ReasonBaseFolder);
	// The store's own roots are the user's to place anywhere.
	const std::string npki = external.empty() ? std::string() : folder;
	auto staysInNpki = [&npki](const std::string& path) { return npki.empty() || StaysWithin(path, npki); };

	std::string organization;
	if (HoldsNul(password) || !store->InspectPfxBase64(pfx, password, Pkcs12Organization, &organization)
		|| !IsSafeFolderName(organization))
		return Failure(ReasonBadOrganization);
	folder += "\\" + organization + "\\USER";

	std::string name;
	if (!store->InspectPfxBase64(pfx, password, Pkcs12FolderName, &name) || !IsSafeFolderName(name))
		return Failure(ReasonCertFolder);
	folder += "\\" + name;
	char16_t wide[kImportPathUnits];
	if (!ToWide(folder, wide, kImportPathUnits) || !staysInNpki(folder) || MakeDirsWide(wide) != 1)
		return Failure(ReasonCertFolder);

	// A link planted in place of either file must not be written through.
	const std::string derPath = folder + "\\signCert.der";
	const std::string keyPath = folder + "\\signPri.key";
	if (!staysInNpki(derPath) || !staysInNpki(keyPath)
		|| !store->ImportPfxBase64(pfx, derPath, keyPath, password, password))
		return Failure(ReasonWriteFailed);
	return Success();
}

std::string Reply(const Json2& event, Json2 payload)
{
	Json2 body;
	body["call_back"] = event;
	body["data"] = std::move(payload);
	Json2 reply;
	reply.Add(Json2("zimracert"));
	reply.Add(std::move(body));
	return reply.ToString(true);
}

} // namespace

bool IsExistingDriveRoot(const std::string& root)
{
	return root.size() == 3 && IsExistingDrivePath(root);
}

Outcome Dispatch(const std::string& message, NpkiStore* store)
{
	Outcome outcome;
	try
	{
		Json2 value = Json2::Parse(message);
		if (value.Type() != Json2::Array || value.GetArray().size() != 2)
			return outcome;
		const Json2 event = value.GetArray().front();
		Json2 data = value.GetArray().back();
		Json2 payload;
		switch (Identify(event))
		{
		case EventNone:
		case EventIgnored:
			return outcome;
		case EventTerminate:
			outcome.terminate = true;
			return outcome;
		case EventCertification:
			payload = ListCertificates(data, store);
			break;
		case EventExternalDrive:
			payload = ListDrives(store);
			break;
		case EventExport:
			payload = Export(data, store);
			break;
		case EventImport:
			payload = Import(data, store);
			break;
		}
		outcome.reply = Reply(event, std::move(payload));
		outcome.hasReply = true;
	}
	catch (const Exception& e)
	{
		std::fprintf(stderr, "onmessage error[%s] \n", e.Message().c_str());
	}
	return outcome;
}

} // namespace EventDispatcher
