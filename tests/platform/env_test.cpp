#include "platform/env.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(Env, GetenvSizeLimitsAndUnsetVariables)
{
	char buffer[2048];
	std::size_t required = 99;
	unsetenv("ZC_ENV_TEST");
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "ZC_ENV_TEST"));
	EXPECT_EQ(0u, required);
	EXPECT_STREQ("", buffer);

	const std::string fits(2047, 'a');
	setenv("ZC_ENV_TEST", fits.c_str(), 1);
	EXPECT_EQ(0, getenv_s(&required, buffer, sizeof(buffer), "ZC_ENV_TEST"));
	EXPECT_EQ(2048u, required);
	EXPECT_EQ(fits, buffer);

	setenv("ZC_ENV_TEST", (fits + "b").c_str(), 1);
	EXPECT_EQ(ERANGE, getenv_s(&required, buffer, sizeof(buffer), "ZC_ENV_TEST"));
	EXPECT_EQ(2049u, required);
	EXPECT_STREQ("", buffer);

	EXPECT_EQ(EINVAL, getenv_s(nullptr, buffer, sizeof(buffer), "ZC_ENV_TEST"));
	EXPECT_EQ(EINVAL, getenv_s(&required, buffer, sizeof(buffer), nullptr));
}

TEST(Env, PutenvCopiesTheTextAndAnEmptyValueRemoves)
{
	char assignment[] = "ZC_ENV_TEST=first";
	ASSERT_EQ(0, _putenv(assignment));
	std::strcpy(assignment, "ZC_ENV_TEST=other");
	ASSERT_NE(nullptr, std::getenv("ZC_ENV_TEST"));
	EXPECT_STREQ("first", std::getenv("ZC_ENV_TEST"));

	ASSERT_EQ(0, _putenv("ZC_ENV_TEST=a=b"));
	EXPECT_STREQ("a=b", std::getenv("ZC_ENV_TEST"));

	ASSERT_EQ(0, _putenv("ZC_ENV_TEST="));
	EXPECT_EQ(nullptr, std::getenv("ZC_ENV_TEST"));

	EXPECT_EQ(-1, _putenv("no equals sign"));
	EXPECT_EQ(-1, _putenv("=value"));
}
