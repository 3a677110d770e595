#include "platform/find.h"
#include "platform/text.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <string>
#include <strings.h>
#include <vector>

namespace
{

// Every entry of the search as name -> attributes, in the order returned.
std::vector<std::pair<std::string, DWORD>> List(const std::u16string& pattern)
{
	std::vector<std::pair<std::string, DWORD>> out;
	WIN32_FIND_DATAW data;
	HANDLE search = FindFirstFileW(pattern.c_str(), &data);
	if (search == INVALID_HANDLE_VALUE)
		return out;
	do
		out.emplace_back(WideToUtf8(data.cFileName), data.dwFileAttributes);
	while (FindNextFileW(search, &data));
	EXPECT_EQ(ENOENT, errno);
	EXPECT_TRUE(FindClose(search));
	return out;
}

} // namespace

TEST(FindFiles, ListsSortedWithoutRegardToCaseAndNeverFollowsLinks)
{
	TempFolder temp;
	const std::string base = temp.Path();
	std::map<std::string, DWORD> made { { ".", FILE_ATTRIBUTE_DIRECTORY }, { "..", FILE_ATTRIBUTE_DIRECTORY },
		{ "loop", FILE_ATTRIBUTE_REPARSE_POINT } };
	for (const char* name : { "b.key", "A.der", "Zeta", "a.txt", "\xEF\xBF\xBD" })
		std::ofstream(base + "/" + (made[name] = FILE_ATTRIBUTE_NORMAL, name)) << "x";
	// Names that are not UTF-8 could not be opened again by a cut or mended name.
	for (const char* name : { "Zeta\xE0", "b\xFFkey" })
		std::ofstream(base + "/" + name) << "x";
	for (const char* name : { "USER", "user2", "홍길동" })
		mkdir((base + "/" + (made[name] = FILE_ATTRIBUTE_DIRECTORY, name)).c_str(), 0700);
	ASSERT_EQ(0, symlink(base.c_str(), (base + "/loop").c_str()));
	std::vector<std::pair<std::string, DWORD>> expected(made.begin(), made.end());
	std::sort(expected.begin(), expected.end(),
		[](const auto& a, const auto& b) { return strcasecmp(a.first.c_str(), b.first.c_str()) < 0; });
	EXPECT_EQ(expected, List(temp.Wide() + u"\\*"));

	const auto der = List(temp.Wide() + u"/*.DER");
	EXPECT_EQ((decltype(der) { { "A.der", FILE_ATTRIBUTE_NORMAL } }), der);
	EXPECT_TRUE(List(temp.Wide() + u"\\none\\*").empty());
	EXPECT_TRUE(List(temp.Wide() + u"\\*.none").empty());
}

// Patterns ignore letter case, and the order is that of the upper-cased
// names, as NTFS gives it: "_" (0x5F) and "`" come after every letter,
// lower-case "z" included, and "{" after them.
TEST(FindFiles, CaseBlindPatternsAndOrderAtTheAlphabetsEdges)
{
	TempFolder temp;
	for (const char* name : { "a.zip", "B.ZIP", "z", "Z1", "_", "`", "{", "y.Zip.txt" })
		std::ofstream(temp.Path() + "/" + name) << "x";
	using Names = std::vector<std::string>;
	const std::pair<std::u16string, Names> cases[] = { { u"*.ZIP", { "a.zip", "B.ZIP" } }, { u"*.zip", { "a.zip", "B.ZIP" } },
		{ u"?.Zip", { "a.zip", "B.ZIP" } }, { u"Z*", { "z", "Z1" } }, { u"*.ZIP.*", { "y.Zip.txt" } },
		{ u"*", { ".", "..", "a.zip", "B.ZIP", "y.Zip.txt", "z", "Z1", "_", "`", "{" } } };
	for (const auto& [pattern, expected] : cases)
	{
		Names names;
		for (const auto& entry : List(temp.Wide() + u"\\" + pattern))
			names.push_back(entry.first);
		EXPECT_EQ(expected, names) << std::string(pattern.begin(), pattern.end());
	}
}
