#include "platform/files.h"
#include "platform/find.h"
#include "platform/path.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

TEST(DrivePaths, TableMapsWindowsPathsOntoFolders)
{
	setenv("ZIMRACERT_DRIVES", "c=/tmp/x/;D=/mnt/d;bad;Q=relative;d=/ignored", 1);
	setenv("HOMEDRIVE", "d:", 1);
	EXPECT_EQ("/tmp/x/a/b", HostPath("C:\\a/b"));
	EXPECT_EQ("/mnt/d/NPKI/x", HostPath("D:\\\\NPKI\\x\\"));
	EXPECT_EQ("/tmp/x/b", HostPath("c:\\a\\.\\..\\..\\..\\b"));
	EXPECT_EQ("/tmp/x", HostPath("C:"));
	EXPECT_EQ("/mnt/d/x/y", HostPath("\\x\\y"));
	EXPECT_EQ("/abs/p", HostPath("/abs\\p"));
	EXPECT_EQ("", HostPath("E:\\x"));
	EXPECT_EQ("", HostPath("Q:\\x"));

	char16_t drives[16];
	EXPECT_EQ(9u, GetLogicalDriveStringsW(8, drives));
	ASSERT_EQ(8u, GetLogicalDriveStringsW(16, drives));
	EXPECT_EQ(std::u16string(u"C:\\\0D:\\\0\0", 9), std::u16string(drives, 9));

	// A drive that is not there fails every call, as on Windows.
	EXPECT_EQ(nullptr, _wfopen(u"E:\\x", u"rb"));
	EXPECT_EQ(ENOENT, errno);
	EXPECT_EQ(-1, _wmkdir(u"E:\\x"));
	EXPECT_EQ(ENOENT, errno);
	WIN32_FIND_DATAW data;
	EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(u"E:\\*", &data));
}

TEST(DrivePaths, WithoutTableDriveCIsTheHostRoot)
{
	unsetenv("ZIMRACERT_DRIVES");
	unsetenv("HOMEDRIVE");
	EXPECT_EQ("/tmp/a", HostPath("C:\\tmp\\a"));
	EXPECT_EQ("/tmp/a", HostPath("\\tmp\\a"));
	EXPECT_EQ("/", HostPath("C:\\..\\"));
	ASSERT_FALSE(LogicalDrives().empty());
	EXPECT_EQ(std::make_pair('C', std::string("/")), LogicalDrives()[0]);
}
