#include "base/FileUtil.h"

#include "base/Encoding.h"
#include "platform/files.h"
#include "platform/path.h"
#include "platform/text.h"

#include <cerrno>
#include <cstdio>
#include <new>

namespace
{

bool IsSeparator(char16_t c)
{
	return c == '\\' || c == '/';
}

struct NarrowCalls
{
	static int MakeDir(const char* path) { return _mkdir(path); }
	static DWORD Attributes(const char* path) { return GetFileAttributesA(path); }
	static std::string Printable(const char* path) { return path; }
};

struct WideCalls
{
	static int MakeDir(const char16_t* path) { return _wmkdir(path); }
	static DWORD Attributes(const char16_t* path) { return GetFileAttributesW(path); }
	static std::string Printable(const char16_t* path) { return WideToUtf8(path); }
};

// Creates the whole path, then each prefix up to a separator, passing over
// prefixes that exist or cannot be made for another reason than a missing
// parent. Success is reported only when the whole path is a folder at the
// end: a read-only or forbidden step must not pass for a created folder.
template <typename Calls, typename Char>
int MakeDirsOf(const Char* path)
{
	try
	{
		std::basic_string<Char> text(path);
		if (text.empty())
			return 0;
		if (text.back() == '/')
			text.pop_back();
		if (Calls::MakeDir(text.c_str()) == 0)
			return 1;
		for (size_t end = 1; end <= text.size(); ++end)
		{
			if (end < text.size() && !IsSeparator(text[end]))
				continue;
			const std::basic_string<Char> prefix = text.substr(0, end);
			if (Calls::MakeDir(prefix.c_str()) != 0 && errno == ENOENT)
			{
				std::printf("couldn't create directory %s\n", Calls::Printable(prefix.c_str()).c_str());
				return 0;
			}
		}
		if (Calls::Attributes(text.c_str()) != FILE_ATTRIBUTE_DIRECTORY)
		{
			std::printf("couldn't create directory %s\n", Calls::Printable(text.c_str()).c_str());
			return 0;
		}
		return 1;
	}
	catch (const std::bad_alloc&)
	{
		std::printf("Error allocating memory\n");
		return -1;
	}
}

// The path as the file calls take it: through UTF-16 and back, so that a
// malformed sequence is U+FFFD here as well. Empty, which names nothing, for
// a text holding a NUL.
std::string AsFileCallsSeeIt(const std::string& path)
{
	std::u16string wide;
	return Utf8PathToUtf16(path, wide) ? WideToUtf8(wide.c_str()) : std::string();
}

} // namespace

std::string ParentFolder(const std::string& path)
{
	size_t last = path.find_last_of("\\/");
	if (last != std::string::npos && last + 1 == path.size())
		last = last == 0 ? std::string::npos : path.find_last_of("\\/", last - 1);
	return last == std::string::npos ? path : path.substr(0, last);
}

bool FileExists(std::string path)
{
	// Converted as every file call converts it: one path, one file.
	std::u16string wide;
	if (!Utf8PathToUtf16(path, wide))
		return false;
	FILE* file = _wfopen(wide.c_str(), u"r");
	if (file == nullptr)
		return false;
	std::fclose(file);
	return true;
}

int MakeDirs(const char* path)
{
	return MakeDirsOf<NarrowCalls>(path);
}

int MakeDirsWide(const char16_t* path)
{
	return MakeDirsOf<WideCalls>(path);
}

std::string ReplaceAll(std::string text, const std::string& find, const std::string& replacement)
{
	if (find.empty())
		return text;
	for (size_t at = text.find(find); at != std::string::npos; at = text.find(find, at + replacement.size()))
		text.replace(at, find.size(), replacement);
	return text;
}

char LowerAscii(char c)
{
	return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCaseAscii(const std::string& a, const std::string& b)
{
	if (a.size() != b.size())
		return false;
	for (size_t i = 0; i < a.size(); ++i)
		if (LowerAscii(a[i]) != LowerAscii(b[i]))
			return false;
	return true;
}

bool HoldsNul(const std::string& text)
{
	return text.find('\0') != std::string::npos;
}

bool IsSafeFolderName(const std::string& name)
{
	if (name.empty() || name == "." || name == "..")
		return false;
	for (const char c : name)
	{
		const unsigned char byte = static_cast<unsigned char>(c);
		if (byte < 0x20 || byte == 0x7F || c == '\\' || c == '/' || c == ':')
			return false;
	}
	return true;
}

bool IsExistingDrivePath(const std::string& path)
{
	if (path.size() < 3 || path[1] != ':' || path[2] != '\\')
		return false;
	// The table's letters are upper case: only a letter folds onto one.
	for (const auto& drive : LogicalDrives())
		if (LowerAscii(drive.first) == LowerAscii(path[0]))
			return true;
	return false;
}

bool StaysWithin(const std::string& path, const std::string& folder)
{
	return ResolvesWithin(AsFileCallsSeeIt(path), AsFileCallsSeeIt(folder));
}

bool StaysOnItsDrive(const std::string& path)
{
	return IsExistingDrivePath(path) && StaysWithin(path, path.substr(0, 3));
}
