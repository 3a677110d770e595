#include "platform/text.h"

#include "support/IconvOracle.h"

#include <gtest/gtest.h>

TEST(PlatformText, CodePageCallsAgreeWithIconvOnValidText)
{
	std::mt19937 random(7);
	for (int round = 0; round < 200; ++round)
	{
		const std::string utf8 = RandomUtf8(random, random() % 40 + 1);
		const int length = static_cast<int>(utf8.size());
		std::u16string wide(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0), u'\0');
		const int units = static_cast<int>(wide.size());
		ASSERT_EQ(units, MultiByteToWideChar(CP_ACP, 0, utf8.data(), length, &wide[0], units));
		ASSERT_EQ(Utf8ToUtf16ByIconv(utf8), wide);
		std::string back(utf8.size(), '\0');
		ASSERT_EQ(length, WideCharToMultiByte(CP_ACP, 0, wide.data(), units, &back[0], length, nullptr, nullptr));
		ASSERT_EQ(utf8, back);
	}
}

TEST(PlatformText, CodePageCallsFollowTheWindowsConventions)
{
	char16_t wide[8];
	// -1 converts the terminating NUL too; a short buffer fails with 0.
	EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "ab", -1, wide, 8));
	EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3));
	EXPECT_EQ(0, MultiByteToWideChar(1252, 0, "ab", -1, wide, 8));
	// Malformed bytes become U+FFFD and swallow no following character.
	EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "\xC1\x9C\xC3" "A\xE2\x82", 6, wide, 8));
	EXPECT_EQ((std::u16string{ 0xFFFD, 0xFFFD, 'A', 0xFFFD }), std::u16string(wide, 4));

	char text[8];
	BOOL usedDefault = TRUE;
	const char16_t lone[] = { 'x', 0xD800, 0 };
	EXPECT_EQ(5, WideCharToMultiByte(CP_ACP, 0, lone, -1, text, 8, nullptr, &usedDefault));
	EXPECT_EQ("x\xEF\xBF\xBD", std::string(text));
	EXPECT_EQ(FALSE, usedDefault);
	EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, lone, -1, text, 4, nullptr, nullptr));
}
