#include "platform/env.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(Env, GetenvReportsTheSizeAValueNeeds)
{
	char buffer[4] = "old";
	std::size_t required = 99;
	unsetenv("ZC_ENV_TEST");
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "ZC_ENV_TEST"));
	EXPECT_EQ(0u, required);
	EXPECT_STREQ("", buffer);

	setenv("ZC_ENV_TEST", "four", 1);
	EXPECT_EQ(ERANGE, getenv_s(&required, buffer, sizeof(buffer), "ZC_ENV_TEST"));
	EXPECT_EQ(5u, required);
	EXPECT_STREQ("", buffer);
}

TEST(Env, PutenvCopiesTheText)
{
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
	char buffer[64];
	std::size_t required = 0;
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "HOMEDRIVE"));
	EXPECT_STREQ("C:", buffer);
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "ProgramFiles"));
	EXPECT_STREQ("C:\\home\\user1", buffer);
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "HOMEPATH"));
	EXPECT_STREQ("\\home\\user1", buffer);
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "APPDATA"));
	EXPECT_EQ(0u, required);

	// Without HOME the home folder is the user's own, and HOMEDRIVE with
	// HOMEPATH name it as ProgramFiles does.
	unsetenv("HOME");
	const passwd* user = getpwuid(geteuid());
	ASSERT_NE(nullptr, user);
	std::string home = user->pw_dir;
	std::replace(home.begin(), home.end(), '/', '\\');
	char path[4096];
	EXPECT_EQ(0, getenv_s(&required, path, sizeof(path), "HOMEPATH"));
	EXPECT_EQ(home, path);
	EXPECT_EQ(0, getenv_s(&required, path, sizeof(path), "ProgramFiles"));
	EXPECT_EQ("C:" + home, path);

	setenv("ProgramFiles", "D:\\Programs", 1);
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "ProgramFiles"));
	EXPECT_STREQ("D:\\Programs", buffer);
}
