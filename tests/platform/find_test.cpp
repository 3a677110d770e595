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
	std::vector<std::string> names { "b.key", "A.der", "USER", "user2", "홍길동", "Zeta", "a.txt" };
	for (const char* name : { "b.key", "A.der", "Zeta", "a.txt" })
		std::ofstream(base + "/" + std::string(name)) << "x";
	for (const char* name : { "USER", "user2", "홍길동" })
		mkdir((base + "/" + std::string(name)).c_str(), 0700);
	ASSERT_EQ(0, symlink(base.c_str(), (base + "/loop").c_str()));
	names.push_back("loop");
	names.push_back(".");
	names.push_back("..");
	std::sort(names.begin(), names.end(),
		[](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });

	const auto entries = List(temp.Wide() + u"\\*");
	ASSERT_EQ(names.size(), entries.size());
	std::map<std::string, DWORD> expected { { ".", FILE_ATTRIBUTE_DIRECTORY }, { "..", FILE_ATTRIBUTE_DIRECTORY },
		{ "USER", FILE_ATTRIBUTE_DIRECTORY }, { "user2", FILE_ATTRIBUTE_DIRECTORY },
		{ "홍길동", FILE_ATTRIBUTE_DIRECTORY }, { "loop", FILE_ATTRIBUTE_REPARSE_POINT } };
	for (size_t i = 0; i < names.size(); ++i)
	{
		EXPECT_EQ(names[i], entries[i].first);
		const auto known = expected.find(names[i]);
		EXPECT_EQ(known == expected.end() ? FILE_ATTRIBUTE_NORMAL : known->second, entries[i].second) << names[i];
	}

	const auto der = List(temp.Wide() + u"/*.DER");
	ASSERT_EQ(1u, der.size());
	EXPECT_EQ("A.der", der[0].first);
	EXPECT_TRUE(List(temp.Wide() + u"\\none\\*").empty());
	EXPECT_TRUE(List(temp.Wide() + u"\\*.none").empty());
}
