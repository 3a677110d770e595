#include "platform/find.h"

#include "platform/path.h"
#include "platform/text.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

namespace
{

struct Entry
{
	std::u16string name;
	DWORD attributes;
};

struct Search
{
	std::vector<Entry> entries;
	size_t next = 0;
};

char16_t UpperAscii(char16_t c)
{
	return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// Windows wildcards over one name, letter case ignored.
bool Matches(const char16_t* pattern, const char16_t* name)
{
	if (*pattern == 0)
		return *name == 0;
	if (*pattern == u'*')
		return Matches(pattern + 1, name) || (*name != 0 && Matches(pattern, name + 1));
	if (*name == 0)
		return false;
	return (*pattern == u'?' || UpperAscii(*pattern) == UpperAscii(*name)) && Matches(pattern + 1, name + 1);
}

bool NoCaseBefore(const Entry& a, const Entry& b)
{
	const size_t common = std::min(a.name.size(), b.name.size());
	for (size_t i = 0; i < common; ++i)
	{
		const char16_t x = UpperAscii(a.name[i]);
		const char16_t y = UpperAscii(b.name[i]);
		if (x != y)
			return x < y;
	}
	if (a.name.size() != b.name.size())
		return a.name.size() < b.name.size();
	return a.name < b.name; // names differing only in case: a fixed order all the same
}

// False for a name that is not UTF-8: the program could never name that
// entry again (a cut or replaced name would lead to another entry or none).
bool Utf16(const std::string& text, std::u16string& out)
{
	out.clear();
	size_t at = 0;
	while (at < text.size())
	{
		char32_t codePoint = 0;
		const size_t used = DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()) + at, text.size() - at,
			codePoint);
		if (used == 0 || (codePoint == 0xFFFD && text.compare(at, used, "\xEF\xBF\xBD") != 0))
			return false;
		AppendUtf16(out, codePoint);
		at += used;
	}
	return true;
}

DWORD Attributes(const std::string& folder, const dirent* entry)
{
	unsigned char type = entry->d_type;
	if (type == DT_UNKNOWN)
	{
		struct stat info;
		if (lstat((folder + "/" + entry->d_name).c_str(), &info) != 0)
			return FILE_ATTRIBUTE_NORMAL;
		type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
	}
	if (type == DT_DIR)
		return FILE_ATTRIBUTE_DIRECTORY;
	return type == DT_LNK ? FILE_ATTRIBUTE_REPARSE_POINT : FILE_ATTRIBUTE_NORMAL;
}

void Fill(const Entry& entry, WIN32_FIND_DATAW* data)
{
	data->dwFileAttributes = entry.attributes;
	std::copy(entry.name.begin(), entry.name.end(), data->cFileName);
	data->cFileName[entry.name.size()] = 0;
}

} // namespace

HANDLE FindFirstFileW(const char16_t* pattern, WIN32_FIND_DATAW* data)
{
	if (pattern == nullptr || data == nullptr)
	{
		errno = EINVAL;
		return INVALID_HANDLE_VALUE;
	}
	const std::u16string text(pattern);
	const size_t split = text.find_last_of(u"\\/");
	const std::u16string folderPart = split == std::u16string::npos ? u"." : text.substr(0, split + 1);
	const std::u16string namePattern = split == std::u16string::npos ? text : text.substr(split + 1);
	const std::string folder = HostPath(WideToUtf8(folderPart.c_str()));
	std::unique_ptr<DIR, int (*)(DIR*)> dir(folder.empty() ? nullptr : opendir(folder.c_str()), closedir);
	if (!dir)
	{
		errno = ENOENT;
		return INVALID_HANDLE_VALUE;
	}
	std::unique_ptr<Search> search(new Search);
	while (const dirent* entry = readdir(dir.get()))
	{
		std::u16string name;
		if (Utf16(entry->d_name, name) && name.size() < static_cast<size_t>(MAX_PATH)
			&& Matches(namePattern.c_str(), name.c_str()))
			search->entries.push_back(Entry { std::move(name), Attributes(folder, entry) });
	}
	if (search->entries.empty())
	{
		errno = ENOENT;
		return INVALID_HANDLE_VALUE;
	}
	std::sort(search->entries.begin(), search->entries.end(), NoCaseBefore);
	Fill(search->entries[0], data);
	search->next = 1;
	return search.release();
}

BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data)
{
	Search* state = static_cast<Search*>(search);
	if (search == nullptr || search == INVALID_HANDLE_VALUE || data == nullptr)
	{
		errno = EINVAL;
		return FALSE;
	}
	if (state->next >= state->entries.size())
	{
		errno = ENOENT;
		return FALSE;
	}
	Fill(state->entries[state->next++], data);
	return TRUE;
}

BOOL FindClose(HANDLE search)
{
	if (search == nullptr || search == INVALID_HANDLE_VALUE)
		return FALSE;
	delete static_cast<Search*>(search);
	return TRUE;
}
