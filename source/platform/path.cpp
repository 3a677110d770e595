#include "platform/path.h"

#include "platform/env.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <mutex>

namespace
{

using DriveTable = std::vector<std::pair<char, std::string>>;

const char kDrivesVariable[] = "ZIMRACERT_DRIVES";

std::string Env(const char* name)
{
	char value[4096];
	std::size_t size = 0;
	if (getenv_s(&size, value, sizeof(value), name) != 0)
		return std::string();
	return value;
}

bool IsSeparator(char c)
{
	return c == '\\' || c == '/';
}

std::string WithoutTrailingSlash(std::string folder)
{
	while (folder.size() > 1 && folder.back() == '/')
		folder.pop_back();
	return folder;
}

// "C=/a;d=/b": malformed entries and relative folders are left out; the
// first entry of a letter counts.
DriveTable ParseTable(const std::string& text)
{
	DriveTable table;
	size_t start = 0;
	while (start <= text.size())
	{
		size_t end = text.find(';', start);
		if (end == std::string::npos)
			end = text.size();
		const std::string entry = text.substr(start, end - start);
		start = end + 1;
		if (entry.size() < 3 || !std::isalpha(static_cast<unsigned char>(entry[0])) || entry[1] != '='
			|| entry[2] != '/')
			continue;
		const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(entry[0])));
		const bool known = std::any_of(table.begin(), table.end(),
			[letter](const DriveTable::value_type& drive) { return drive.first == letter; });
		if (!known)
			table.emplace_back(letter, WithoutTrailingSlash(entry.substr(2)));
	}
	std::sort(table.begin(), table.end());
	return table;
}

std::string UserName()
{
	struct passwd entry;
	struct passwd* found = nullptr;
	char buffer[4096];
	if (getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
		return found->pw_name;
	return Env("USER");
}

// The folders whose sub-folders are mounted media: the user's folders under
// /media and /run/media, unless a test named others.
std::vector<std::string> MediaParents(const std::vector<std::string>& chosen)
{
	if (!chosen.empty())
		return chosen;
	const std::string user = UserName();
	if (user.empty())
		return {};
	return { "/media/" + user, "/run/media/" + user };
}

// C: at the root, then the mounted media in name order.
DriveTable DefaultTable(const std::vector<std::string>& chosenParents)
{
	DriveTable table { { 'C', "/" } };
	std::vector<std::pair<std::string, std::string>> media; // (name, folder)
	for (const std::string& parent : MediaParents(chosenParents))
	{
		DIR* dir = opendir(parent.c_str());
		if (dir == nullptr)
			continue;
		while (const dirent* entry = readdir(dir))
		{
			const std::string name = entry->d_name;
			struct stat info;
			const std::string folder = parent + "/" + name;
			if (name != "." && name != ".." && stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
				media.emplace_back(name, folder);
		}
		closedir(dir);
	}
	std::sort(media.begin(), media.end());
	char letter = 'D';
	for (const auto& medium : media)
	{
		if (letter > 'Z')
			break;
		table.emplace_back(letter++, medium.second);
	}
	return table;
}

// The table is rebuilt when ZIMRACERT_DRIVES changes; the media are looked at
// again when the drives are listed or a letter is missing, so that a stick
// plugged in while the agent runs is found.
class DriveCache
{
public:
	DriveTable Table()
	{
		const std::string text = Env(kDrivesVariable);
		std::lock_guard<std::mutex> guard(m_lock);
		Refresh(text, true);
		return m_table;
	}

	void SetMediaParents(std::vector<std::string> parents)
	{
		std::lock_guard<std::mutex> guard(m_lock);
		m_mediaParents = std::move(parents);
		m_valid = false;
	}

	bool Folder(char letter, std::string& folder)
	{
		const std::string text = Env(kDrivesVariable);
		std::lock_guard<std::mutex> guard(m_lock);
		for (bool rescan : { false, true })
		{
			Refresh(text, rescan);
			for (const auto& drive : m_table)
			{
				if (drive.first == letter)
				{
					folder = drive.second;
					return true;
				}
			}
		}
		return false;
	}

private:
	void Refresh(const std::string& text, bool rescan)
	{
		if (m_valid && text == m_text && !(rescan && text.empty()))
			return;
		m_table = text.empty() ? DefaultTable(m_mediaParents) : ParseTable(text);
		m_text = text;
		m_valid = true;
	}

	std::mutex m_lock;
	bool m_valid = false;
	std::string m_text;
	DriveTable m_table;
	std::vector<std::string> m_mediaParents;
};

DriveCache& Drives()
{
	static DriveCache cache;
	return cache;
}

char DriveLetter(const std::string& path)
{
	if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
		return static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
	return 0;
}

char CurrentDrive()
{
	const char letter = DriveLetter(Env("HOMEDRIVE"));
	return letter != 0 ? letter : 'C';
}

// Where the host path really is; see ResolvesWithin.
bool RealLocation(const std::string& hostPath, std::string& real)
{
	if (hostPath.empty() || hostPath[0] != '/' || hostPath.find('\0') != std::string::npos)
		return false;
	std::string existing = hostPath;
	std::string rest;
	struct stat info;
	while (lstat(existing.c_str(), &info) != 0)
	{
		const size_t slash = existing.find_last_of('/');
		const std::string part = existing.substr(slash + 1);
		if (part == "..")
			return false;
		if (!part.empty())
			rest = "/" + part + rest;
		existing = slash == 0 ? "/" : existing.substr(0, slash);
	}
	char resolved[PATH_MAX];
	if (realpath(existing.c_str(), resolved) == nullptr)
		return false;
	real = resolved;
	if (real == "/" && !rest.empty())
		real.clear();
	real += rest;
	return true;
}

} // namespace

std::string HostPath(const std::string& programPath)
{
	char letter = DriveLetter(programPath);
	size_t start = letter != 0 ? 2 : 0;
	if (letter == 0 && !programPath.empty() && programPath[0] == '\\')
		letter = CurrentDrive();
	if (letter == 0)
	{
		std::string host(programPath);
		std::replace(host.begin(), host.end(), '\\', '/');
		return host;
	}
	std::string folder;
	if (!Drives().Folder(letter, folder))
		return std::string();
	std::vector<std::string> parts;
	while (start < programPath.size())
	{
		size_t end = start;
		while (end < programPath.size() && !IsSeparator(programPath[end]))
			++end;
		const std::string part = programPath.substr(start, end - start);
		start = end + 1;
		if (part == "..")
		{
			if (!parts.empty())
				parts.pop_back();
		}
		else if (!part.empty() && part != ".")
			parts.push_back(part);
	}
	std::string host = folder;
	for (const std::string& part : parts)
	{
		if (host.back() != '/')
			host += '/';
		host += part;
	}
	return host;
}

bool ResolvesWithin(const std::string& programPath, const std::string& folderPath)
{
	std::string path;
	std::string folder;
	if (!RealLocation(HostPath(programPath), path) || !RealLocation(HostPath(folderPath), folder))
		return false;
	return path.compare(0, folder.size(), folder) == 0
		&& (path.size() == folder.size() || folder == "/" || path[folder.size()] == '/');
}

std::vector<std::pair<char, std::string>> LogicalDrives()
{
	return Drives().Table();
}

void SetMediaFolders(std::vector<std::string> parents)
{
	Drives().SetMediaParents(std::move(parents));
}

DWORD GetLogicalDriveStringsW(DWORD bufferLength, char16_t* buffer)
{
	const DriveTable table = LogicalDrives();
	const DWORD needed = static_cast<DWORD>(table.size() * 4 + 1);
	if (buffer == nullptr || bufferLength < needed)
		return needed;
	char16_t* out = buffer;
	for (const auto& drive : table)
	{
		*out++ = static_cast<char16_t>(drive.first);
		*out++ = u':';
		*out++ = u'\\';
		*out++ = 0;
	}
	*out = 0;
	return needed - 1;
}
