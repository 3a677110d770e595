// The page's application protocol: any message text, handed to the event
// dispatcher with a certificate store over a scratch NPKI tree (drives C:,
// D: and E: mapped to folders). Exports and imports run for real.
//
// Checked besides memory safety: a reply is the protocol's JSON
// ["zimracert", {"call_back": event, "data": ...}], only the terminate event
// stops the agent, and nothing is ever written outside an NPKI folder of a
// mapped drive (imports are undone after each input, so that each input
// meets the same tree).

#include "FuzzSupport.h"

#include "PKI/NpkiStore.h"
#include "agent/EventDispatcher.h"
#include "base/Exception.h"
#include "base/Json2.h"
#include "base/NetUtil.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

// A certificate with its key (password "npki-Pass1!") where the store
// looks on C:, and one on D:.
const char* const kPairFolders[] = {"c/Program Files/NPKI/yessign/USER/cn=fuzz()0011",
	"d/NPKI/org1/USER/cn=name1"};

struct Tree
{
	Tree()
	{
		root = FuzzScratch::Dir() + "/tree";
		for (const char* drive : {"c", "d", "e"})
			fs::create_directories(root + "/" + drive);
		const std::string keys = ZC_SOURCE_DIR "/tests/data/keys/";
		for (const char* folder : kPairFolders)
		{
			const std::string path = root + "/" + folder;
			fs::create_directories(path);
			fs::copy_file(keys + "signCert.der", path + "/signCert.der");
			fs::copy_file(keys + "signPri.seed.key", path + "/signPri.key");
		}
		setenv("ZIMRACERT_DRIVES", ("C=" + root + "/c;D=" + root + "/d;E=" + root + "/e").c_str(), 1);
		setenv("HOMEDRIVE", "C:", 1);
		setenv("ProgramFiles", "C:\\Program Files", 1);
		unsetenv("APPDATA");
		for (const auto& entry : fs::recursive_directory_iterator(root))
			initial.insert(entry.path().string());
		for (const auto& entry : fs::directory_iterator(FuzzScratch::Dir()))
			scratchEntries.insert(entry.path().filename().string());
	}

	// Every file written must lie inside an NPKI folder of a drive; whatever
	// the input added is removed again.
	void CheckAndRestore()
	{
		for (const auto& entry : fs::directory_iterator(FuzzScratch::Dir()))
			if (scratchEntries.count(entry.path().filename().string()) == 0
				&& entry.path().filename() != "seed.rnd")
				FuzzFail("something was written beside the drives");
		std::set<std::string> added;
		for (const auto& entry : fs::recursive_directory_iterator(root))
		{
			const std::string path = entry.path().string();
			if (initial.count(path) != 0)
				continue;
			added.insert(path);
			if (!entry.is_directory() && !InsideNpki(path))
				FuzzFail("a file was written outside every NPKI folder");
		}
		// Deepest first.
		for (auto it = added.rbegin(); it != added.rend(); ++it)
		{
			std::error_code ignored;
			fs::remove_all(*it, ignored);
		}
	}

	bool InsideNpki(const std::string& path) const
	{
		// <root>/<drive>/.../NPKI/..., the NPKI folder not being the file itself.
		const fs::path relative = fs::path(path).lexically_relative(root);
		auto part = relative.begin();
		if (part == relative.end() || (*part != "c" && *part != "d" && *part != "e"))
			return false;
		bool underNpki = false;
		for (++part; part != relative.end(); ++part)
		{
			if (underNpki)
				return true;
			underNpki = NetUtil::ToLowerAscii(part->string()) == "npki";
		}
		return false;
	}

	std::string root;
	std::set<std::string> initial;
	std::set<std::string> scratchEntries;
};

void CheckReply(const std::string& message, const EventDispatcher::Outcome& outcome)
{
	if (outcome.hasReply == outcome.reply.empty())
		FuzzFail("hasReply disagrees with the reply text");
	if (outcome.terminate)
	{
		Json2 parsed = Json2::Parse(message);
		if (parsed.Type() != Json2::Array || parsed.GetArray().size() != 2
			|| parsed.GetArray().front().Type() != Json2::String
			|| NetUtil::ToLowerAscii(parsed.GetArray().front().GetString()) != "zimracert_terminate")
			FuzzFail("the agent was stopped by a message that is not the terminate event");
	}
	if (!outcome.hasReply)
		return;
	Json2 reply;
	try
	{
		reply = Json2::Parse(outcome.reply);
	}
	catch (const Exception&)
	{
		FuzzFail("a reply that does not parse");
	}
	if (reply.Type() != Json2::Array || reply.GetArray().size() != 2
		|| reply.GetArray().front().GetString() != "zimracert" || reply.GetArray().back().Type() != Json2::Object
		|| !reply.GetArray().back().HasKey("call_back") || !reply.GetArray().back().HasKey("data"))
		FuzzFail("a reply that is not [\"zimracert\", {call_back, data}]");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static Tree tree;
	static NpkiStore store;
	CryptoErrorsCleared cleared;
	const std::string message(reinterpret_cast<const char*>(data), size);
	const EventDispatcher::Outcome outcome = EventDispatcher::Dispatch(message, &store);
	CheckReply(message, outcome);
	tree.CheckAndRestore();
	return 0;
}
