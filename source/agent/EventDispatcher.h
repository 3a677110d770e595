#pragma once

#include <string>

class NpkiStore;

// The page's application protocol. A message is the JSON text
// [event, data]; a reply is ["zimracert", {"call_back": event, "data": ...}].
// The dispatcher does the certificate work on the store and says what the
// connection must do; it never writes to a connection itself, so that the
// transports decide where a reply goes.
namespace EventDispatcher
{

// Result codes of the export and import events ("REASON").
enum Reason
{
	ReasonMissingMember = -9999,
	ReasonEmptyMember = -9998,
	ReasonBadPassword = -9997,       // export: the key does not open
	ReasonBadOrganization = -9997,   // import: subject O empty or unusable
	ReasonPfxFailed = -9996,         // export: building the PKCS#12
	ReasonBaseFolder = -9996,        // import: the NPKI folder
	ReasonCertFolder = -9995,        // import: the certificate's own folder
	ReasonWriteFailed = -9994,       // import: writing the two files
	ReasonKeyUnreadable = -9993,     // export: the key file does not open
};

struct Outcome
{
	bool terminate = false; // the page asked the agent to stop
	bool hasReply = false;
	std::string reply;      // the reply text, when there is one
};

// Handles one message. Event names match in any ASCII letter case; an
// unknown event, a message that is no array of two, or a text that is no
// JSON gets no reply (the last prints "onmessage error[...]" on the
// standard error stream). `store` may be null: certificate events then
// answer as if nothing were found, export and import with -9999. A path
// from the page ("external", "certPath", "keyPath") names a file only as a
// drive path on an existing drive that stays on it once links are resolved
// (StaysOnItsDrive, base/FileUtil.h): any other lists nothing and exports as
// a missing file, and a drive's listing leaves out a certificate whose files
// lead off the drive. An import writes nowhere a link leads out of the
// drive's NPKI folder.
Outcome Dispatch(const std::string& message, NpkiStore* store);

// True when `root` is "X:\" for a drive that exists (letter in any case).
bool IsExistingDriveRoot(const std::string& root);

} // namespace EventDispatcher
