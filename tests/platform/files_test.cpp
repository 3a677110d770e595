#include "platform/files.h"
#include "platform/path.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <fstream>

TEST(PlatformFiles, MkdirAndOpenReportWindowsErrorsAndOpenOnlyRegularFiles)
{
	TempFolder temp;
	const std::string base = temp.Path();
	std::ofstream(base + "/file") << "x";
	EXPECT_EQ("/tmp/a/b", HostPath("\\tmp\\a/b"));
	EXPECT_EQ(0, _mkdir((base + "\\a").c_str()));
	EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA((base + "/a").c_str()));
	EXPECT_EQ(-1, _mkdir((base + "/file").c_str()));
	EXPECT_EQ(EEXIST, errno);
	EXPECT_EQ(-1, _wmkdir((temp.Wide() + u"\\file\\b").c_str()));
	EXPECT_EQ(ENOENT, errno);
	EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, GetFileAttributesW((temp.Wide() + u"/file").c_str()));
	EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((base + "/none").c_str()));

	FILE* file = _wfopen((temp.Wide() + u"\\file").c_str(), u"r");
	ASSERT_NE(nullptr, file);
	EXPECT_EQ('x', std::fgetc(file));
	std::fclose(file);
	EXPECT_EQ(nullptr, _wfopen(temp.Wide().c_str(), u"r"));
	EXPECT_EQ(EACCES, errno);
	EXPECT_EQ(nullptr, _wfopen(u"/dev/null", u"r"));
	EXPECT_EQ(nullptr, _wfopen((temp.Wide() + u"/none").c_str(), u"r"));
}

TEST(PlatformFiles, NewFilesAndFoldersAreTheOwnersOnly)
{
	TempFolder temp;
	const mode_t saved = umask(0);
	ASSERT_EQ(0, _wmkdir((temp.Wide() + u"\\NPKI").c_str()));
	FILE* file = _wfopen((temp.Wide() + u"\\NPKI\\signPri.key").c_str(), u"wb");
	umask(saved);
	ASSERT_NE(nullptr, file);
	EXPECT_EQ(3u, std::fwrite("key", 1, 3, file));
	std::fclose(file);
	struct stat info;
	ASSERT_EQ(0, stat((temp.Path() + "/NPKI").c_str(), &info));
	EXPECT_EQ(0700u, info.st_mode & 0777);
	ASSERT_EQ(0, stat((temp.Path() + "/NPKI/signPri.key").c_str(), &info));
	EXPECT_EQ(0600u, info.st_mode & 0777);
	EXPECT_EQ(3, info.st_size);
	EXPECT_EQ(nullptr, _wfopen((temp.Wide() + u"\\NPKI").c_str(), u"wb"));
	EXPECT_EQ(nullptr, _wfopen((temp.Wide() + u"\\NPKI\\signPri.key").c_str(), u"q"));
}

TEST(PlatformFiles, ExclusiveCreateRenameAndDelete)
{
	TempFolder temp;
	const std::u16string a = temp.Wide() + u"\\a", b = temp.Wide() + u"\\b";
	FILE* file = _wfopen(a.c_str(), u"wbx");
	ASSERT_NE(nullptr, file);
	std::fputc('a', file);
	std::fclose(file);
	EXPECT_EQ(nullptr, _wfopen(a.c_str(), u"wbx"));
	EXPECT_EQ(EEXIST, errno);
	std::ofstream(temp.Path() + "/b") << "b";
	EXPECT_FALSE(MoveFileExW(a.c_str(), b.c_str(), 0));
	EXPECT_EQ(EEXIST, errno);
	EXPECT_TRUE(MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
	EXPECT_EQ('a', std::ifstream(temp.Path() + "/b").get());
	EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(a.c_str()));
	EXPECT_FALSE(DeleteFileW(temp.Wide().c_str()));
	EXPECT_TRUE(DeleteFileW(b.c_str()));
	EXPECT_FALSE(DeleteFileW(b.c_str()));
	EXPECT_EQ(ENOENT, errno);
}
