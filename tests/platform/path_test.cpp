#include "platform/files.h"
#include "platform/find.h"
#include "platform/path.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Each drive table (none: C: is the host root) against the host paths it gives.
TEST(DrivePaths, TableMapsWindowsPathsOntoFolders)
{
	const char* const table = "c=/tmp/x/;D=/mnt/d;bad;Q=relative;d=/ignored";
	const char* const cases[][3] = { { table, "C:\\a/b", "/tmp/x/a/b" }, { table, "D:\\\\NPKI\\x\\", "/mnt/d/NPKI/x" },
		{ table, "c:\\a\\.\\..\\..\\..\\b", "/tmp/x/b" }, { table, "C:", "/tmp/x" }, { table, "\\x\\y", "/mnt/d/x/y" },
		{ table, "/abs\\p", "/abs/p" }, { table, "E:\\x", "" }, { table, "Q:\\x", "" }, { "C=/", "C:\\etc\\hosts", "/etc/hosts" },
		{ "C=/", "C:\\", "/" }, { "C=/", "c:\\..\\..", "/" }, { nullptr, "C:\\tmp\\a", "/tmp/a" }, { nullptr, "\\tmp\\a", "/tmp/a" },
		{ nullptr, "C:\\..\\", "/" } };
	for (const auto& c : cases)
	{
		c[0] ? setenv("ZIMRACERT_DRIVES", c[0], 1) : unsetenv("ZIMRACERT_DRIVES");
		c[0] ? setenv("HOMEDRIVE", "d:", 1) : unsetenv("HOMEDRIVE");
		EXPECT_EQ(c[2], HostPath(c[1])) << c[0] << " " << c[1];
	}
	EXPECT_EQ(std::make_pair('C', std::string("/")), LogicalDrives().at(0));
	setenv("ZIMRACERT_DRIVES", "C=/", 1);
	EXPECT_EQ((std::vector<std::pair<char, std::string>> { { 'C', "/" } }), LogicalDrives());

	setenv("ZIMRACERT_DRIVES", table, 1);
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

// Without a table, a medium mounted while the program runs is in the next
// drive list, and one taken out is gone from it; media take D:, E:, ... in
// name order.
TEST(DrivePaths, MediaMountedLaterShowUpInTheNextList)
{
	unsetenv("ZIMRACERT_DRIVES");
	TempFolder media;
	SetMediaFolders({ media.Path(), media.Path() + "/missing" });
	using Table = std::vector<std::pair<char, std::string>>;
	EXPECT_EQ((Table { { 'C', "/" } }), LogicalDrives());

	ASSERT_EQ(0, mkdir((media.Path() + "/usb").c_str(), 0700));
	std::ofstream(media.Path() + "/file") << "x";
	EXPECT_EQ((Table { { 'C', "/" }, { 'D', media.Path() + "/usb" } }), LogicalDrives());
	EXPECT_EQ(media.Path() + "/usb/NPKI", HostPath("D:\\NPKI"));

	// A letter not yet known is looked for again before it fails.
	ASSERT_EQ(0, mkdir((media.Path() + "/stick").c_str(), 0700));
	EXPECT_EQ(media.Path() + "/usb/x", HostPath("E:\\x"));
	EXPECT_EQ((Table { { 'C', "/" }, { 'D', media.Path() + "/stick" }, { 'E', media.Path() + "/usb" } }),
		LogicalDrives());
	char16_t drives[32];
	ASSERT_EQ(12u, GetLogicalDriveStringsW(32, drives));
	EXPECT_EQ(std::u16string(u"C:\\\0D:\\\0E:\\\0\0", 13), std::u16string(drives, 13));

	ASSERT_EQ(0, rmdir((media.Path() + "/usb").c_str()));
	EXPECT_EQ((Table { { 'C', "/" }, { 'D', media.Path() + "/stick" } }), LogicalDrives());
	SetMediaFolders({});
}

// Where a path really is: links resolved in the part that exists, the rest
// as written; a link to nothing or in a loop is nowhere. Drive E:'s folder is
// itself a link to D:'s.
TEST(DrivePaths, ResolvedPathsStayWithinTheirFolder)
{
	TempFolder temp;
	const std::string t = temp.Path();
	setenv("ZIMRACERT_DRIVES", ("C=/;D=" + t + "/d;E=" + t + "/e").c_str(), 1);
	ASSERT_EQ(0, mkdir((t + "/d").c_str(), 0700));
	ASSERT_EQ(0, mkdir((t + "/d/sub").c_str(), 0700));
	std::ofstream(t + "/d/file") << "x";
	for (const auto& link : std::vector<std::pair<std::string, std::string>> { { "e", t + "/d" }, { "d/in", "sub" },
			 { "d/out", t }, { "d/up", ".." }, { "d/gone", t + "/gone" }, { "d/loop", "loop" } })
		ASSERT_EQ(0, symlink(link.second.c_str(), (t + "/" + link.first).c_str())) << link.first;
	const struct
	{
		const char* path;
		const char* folder;
		bool within;
	} cases[] = { { "D:\\sub\\new\\deeper", "D:\\", true }, { "D:\\in\\x", "D:\\sub", true },
		{ "D:\\sub", "D:\\in", true }, { "D:\\file\\x", "D:\\", true }, { "D:\\up\\d\\sub", "D:\\", true },
		{ "E:\\in", "D:\\sub", true }, { "C:\\etc", "C:\\", true }, { "D:\\out", "D:\\", false },
		{ "D:\\out\\new\\x", "D:\\", false }, { "D:\\up\\x", "D:\\", false }, { "D:\\gone\\x", "D:\\", false },
		{ "D:\\loop", "D:\\", false }, { "D:\\subx", "D:\\sub", false }, { "D:\\sub", "D:\\sub\\new", false },
		{ "Q:\\x", "D:\\", false }, { "D:\\x", "Q:\\", false }, { "sub", "D:\\", false } };
	for (const auto& c : cases)
		EXPECT_EQ(c.within, ResolvesWithin(c.path, c.folder)) << c.path << " in " << c.folder;
	unsetenv("ZIMRACERT_DRIVES");
}
