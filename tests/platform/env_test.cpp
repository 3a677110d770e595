#include "platform/env.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace
{

// The value getenv_s gives, and the size it reports.
std::pair<std::string, std::size_t> Get(const char* name)
{
	char buffer[4096] = "stale";
	std::size_t required = 99;
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), name)) << name;
	return { buffer, required };
}

} // namespace

TEST(Env, GetenvReportsTheSizeAValueNeedsAndPutenvCopiesTheText)
{
	unsetenv("ZC_ENV_TEST");
	EXPECT_EQ(std::make_pair(std::string(), std::size_t(0)), Get("ZC_ENV_TEST"));
	setenv("ZC_ENV_TEST", "four", 1);
	char buffer[4] = "old";
	std::size_t required = 99;
	EXPECT_EQ(ERANGE, getenv_s(&required, buffer, sizeof(buffer), "ZC_ENV_TEST"));
	EXPECT_EQ(5u, required);
	EXPECT_STREQ("", buffer);

	char assignment[] = "ZC_ENV_TEST=first";
	ASSERT_EQ(0, _putenv(assignment));
	std::strcpy(assignment, "ZC_ENV_TEST=other");
	EXPECT_STREQ("first", std::getenv("ZC_ENV_TEST"));
	ASSERT_EQ(0, _putenv("ZC_ENV_TEST=a=b"));
	EXPECT_STREQ("a=b", std::getenv("ZC_ENV_TEST"));
	EXPECT_EQ(-1, _putenv("no equals sign"));
}

TEST(Env, WindowsVariablesHaveTheirDefaults)
{
	unsetenv("HOMEDRIVE");
	unsetenv("ProgramFiles");
	unsetenv("APPDATA");
	setenv("HOME", "/home/user1", 1);
	EXPECT_EQ("C:", Get("HOMEDRIVE").first);
	EXPECT_EQ("C:\\home\\user1", Get("ProgramFiles").first);
	EXPECT_EQ("\\home\\user1", Get("HOMEPATH").first);
	EXPECT_EQ(0u, Get("APPDATA").second);

	// Without HOME the home folder is the user's own.
	unsetenv("HOME");
	const passwd* user = getpwuid(geteuid());
	ASSERT_NE(nullptr, user);
	std::string home = user->pw_dir;
	std::replace(home.begin(), home.end(), '/', '\\');
	EXPECT_EQ(home, Get("HOMEPATH").first);
	EXPECT_EQ("C:" + home, Get("ProgramFiles").first);
	setenv("ProgramFiles", "D:\\Programs", 1);
	EXPECT_EQ("D:\\Programs", Get("ProgramFiles").first);
}
