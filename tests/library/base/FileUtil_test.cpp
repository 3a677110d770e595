#include "base/FileUtil.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

TEST(FileUtil, ParentFolderAndReplaceAll)
{
	for (const auto& [path, parent] : std::initializer_list<std::pair<const char*, const char*>>{
			 { "D:\\a\\b", "D:\\a" }, { "D:\\a\\b\\", "D:\\a" }, { "/x/y\\z", "/x/y" }, { "name", "name" }, { "", "" } })
		EXPECT_EQ(parent, ParentFolder(path)) << path;
	EXPECT_EQ("abc", ReplaceAll("a\nb\nc\n", "\n", ""));
	EXPECT_EQ("xa", ReplaceAll("aaa", "aa", "x"));
	EXPECT_EQ("aaaa", ReplaceAll("aa", "a", "aa"));
	EXPECT_EQ("same", ReplaceAll("same", "", "x"));
}

TEST(FileUtil, MakeDirsSucceedsOnlyWhenTheWholePathIsAFolder)
{
	TempFolder temp;
	const std::string base = temp.Path(), file = base + "/file";
	EXPECT_EQ(1, MakeDirs((base + "\\a\\b/c/").c_str()));
	EXPECT_TRUE(std::filesystem::is_directory(base + "/a/b/c"));
	EXPECT_EQ(1, MakeDirs((base + "/a/b").c_str()));
	EXPECT_EQ(1, MakeDirsWide((temp.Wide() + u"\\\u00E9\\\U0001F600").c_str()));
	EXPECT_TRUE(std::filesystem::is_directory(base + "/\xC3\xA9/\xF0\x9F\x98\x80"));
	EXPECT_EQ(0, MakeDirs(""));

	std::ofstream(file) << "x";
	testing::internal::CaptureStdout();
	EXPECT_EQ(0, MakeDirs(file.c_str()));
	EXPECT_EQ(0, MakeDirs((file + "\\sub\\deeper").c_str()));
	EXPECT_EQ(0, MakeDirsWide((temp.Wide() + u"/file/sub").c_str()));
	EXPECT_EQ("couldn't create directory " + file + "\ncouldn't create directory " + file + "\\sub\n"
		"couldn't create directory " + file + "/sub\n", testing::internal::GetCapturedStdout());
}

// One path, one file: no overlong "\", NUL or cut-off UTF-8 sequence reaches the
// file its first bytes spell; a cut-off sequence names the file with U+FFFD
// there, as the other file calls read it.
TEST(FileUtil, FileExistsOnlyForRegularFilesUnderTheWholePath)
{
	TempFolder temp;
	const std::string base = temp.Path(), file = base + "/signCert.der";
	std::ofstream(file) << "x";
	std::ofstream(base + "/\xC3\xA9.der") << "x";
	EXPECT_TRUE(FileExists(base + "\\signCert.der"));
	EXPECT_TRUE(FileExists(base + "/\xC3\xA9.der"));
	EXPECT_FALSE(FileExists(base));
	EXPECT_FALSE(FileExists(base + "/missing"));
	EXPECT_FALSE(FileExists(base + "\xC1\x9C" "signCert.der"));
	for (const std::string& cut : { std::string("\xE2"), std::string("\xF0\x9F\x98"), std::string("\xE2x"),
			 std::string("\0", 1), std::string("\0x", 2), std::string("\0.txt", 5) })
		EXPECT_FALSE(FileExists(file + cut)) << cut.size();
	std::ofstream(file + "\xEF\xBF\xBD") << "x";
	EXPECT_TRUE(FileExists(file + "\xF0\x9F\x98"));
}

// File names match in ASCII letter case only: other bytes (UTF-8 above all)
// match themselves alone, and a NUL is a byte like any other.
TEST(FileUtil, AsciiCaseAndNul)
{
	const struct
	{
		std::string a, b;
		bool equal;
	} cases[] = { { "signPri.key", "SIGNPRI.KEY", true }, { "User", "uSER", true }, { "@[`{", "`{@[", false },
		{ "\xC3\x89", "\xC3\xA9", false }, { "\xC9", "\xE9", false }, { "user", "users", false },
		{ std::string("a\0b", 3), std::string("A\0B", 3), true }, { std::string("a\0b", 3), "a", false } };
	for (const auto& c : cases)
		EXPECT_EQ(c.equal, EqualsNoCaseAscii(c.a, c.b)) << c.a << " / " << c.b;
	for (int byte = 0; byte < 256; ++byte)
	{
		const char c = static_cast<char>(byte);
		EXPECT_EQ(byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 32) : c, LowerAscii(c)) << byte;
	}
	EXPECT_TRUE(HoldsNul(std::string("key\0x", 5)));
	EXPECT_FALSE(HoldsNul("key"));
}

// Only "X:\..." on a drive of the table is a drive path, letter in any case.
TEST(FileUtil, DrivePathsOnlyOnExistingDrives)
{
	setenv("ZIMRACERT_DRIVES", "C=/tmp;d=/tmp", 1);
	for (const char* good : { "C:\\", "c:\\NPKI", "D:\\..\\x", "d:\\\\" })
		EXPECT_TRUE(IsExistingDrivePath(good)) << good;
	for (const char* bad : { "E:\\x", "D:", "D:/x", "D:NPKI", "DD:\\", "\\NPKI", "/tmp", "..\\x", "NPKI", "", "3:\\",
			 "\xC4:\\", "#:\\" })
		EXPECT_FALSE(IsExistingDrivePath(bad)) << bad;

	// Checked as the file calls name it: a cut-off sequence as U+FFFD, which
	// here is a link off the drive.
	TempFolder temp;
	setenv("ZIMRACERT_DRIVES", ("D=" + temp.Path()).c_str(), 1);
	std::filesystem::create_directory_symlink("/tmp", temp.Path() + "/x\xEF\xBF\xBD");
	EXPECT_TRUE(StaysOnItsDrive("D:\\x\\new"));
	for (const std::string& bad : { std::string("D:\\x\xE2\\new"), std::string("D:\\x\0\\y", 6), std::string("D:x") })
		EXPECT_FALSE(StaysOnItsDrive(bad)) << bad;
	unsetenv("ZIMRACERT_DRIVES");
}
