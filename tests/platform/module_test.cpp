#include "platform/module.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

TEST(Module, VersionIsNtTen)
{
	OSVERSIONINFOEXW info {};
	EXPECT_FALSE(GetVersionExW(&info));
	info.dwOSVersionInfoSize = sizeof(info);
	ASSERT_TRUE(GetVersionExW(&info));
	EXPECT_EQ(VER_PLATFORM_WIN32_NT, info.dwPlatformId);
	EXPECT_EQ(10u, info.dwMajorVersion);
	EXPECT_EQ(0u, info.dwMinorVersion);
}

TEST(Module, FileNameIsThisExecutableCutToTheBuffer)
{
	const std::string self = std::filesystem::canonical("/proc/self/exe").string();
	ASSERT_EQ(self.rfind("/test_platform"), self.size() - 14);
	char16_t buffer[4096];
	const DWORD length = GetModuleFileNameW(nullptr, buffer, 4096);
	EXPECT_EQ(self, WideToUtf8(buffer));
	EXPECT_EQ(self.size(), length); // ASCII build folders: one unit a byte

	// Too small: cut, terminated, and the result is the buffer's size.
	char16_t small[6];
	EXPECT_EQ(6u, GetModuleFileNameW(nullptr, small, 6));
	EXPECT_EQ(self.substr(0, 5), WideToUtf8(small));
	EXPECT_EQ(0u, GetModuleFileNameW(nullptr, small, 0));
	EXPECT_EQ(0u, GetModuleFileNameW(buffer, small, 6));
}
