#include "base/WordParser.h"

#include <gtest/gtest.h>

TEST(WordParser, SplitsOnBlanksAndEndsWithEmptyWords)
{
	WordParser line(" \tGET /tessark.io/?EIO=3 \r\n HTTP/1.1\r\n");
	EXPECT_EQ("GET", line.NextWord());
	std::string url;
	line.NextWord(url);
	EXPECT_EQ("/tessark.io/?EIO=3", url);
	EXPECT_EQ("HTTP/1.1", line.NextWord());
	EXPECT_EQ("", line.NextWord());
	EXPECT_EQ(0, line.NextLong());
	EXPECT_EQ("", line.RestOfText());

	WordParser nul(std::string("ab\0cd\0\0x", 8));
	EXPECT_EQ("ab", nul.NextWord());
	EXPECT_EQ("cd", nul.NextWord());
	EXPECT_EQ("", nul.NextWord()); // starts at the second NUL
	EXPECT_EQ("x", nul.NextWord());
}

TEST(WordParser, SplitCharactersSeparateNumbersAndHeaderValues)
{
	WordParser dotted("10..0.x.300", ".");
	for (long expected : {10, 0, 0, 300, 0})
		EXPECT_EQ(expected, dotted.NextLong());

	WordParser header("Host: : localhost:8080\r\n", ":");
	EXPECT_EQ("Host", header.NextWord());
	EXPECT_EQ("localhost:8080\r\n", header.RestOfText());
	EXPECT_EQ("localhost", header.NextWord()); // the position stayed at the value

	WordParser bare("Upgrade:", ":");
	EXPECT_EQ("Upgrade", bare.NextWord());
	EXPECT_EQ("", bare.RestOfText());
	EXPECT_FALSE(WordParser("x").IsSplitChar('\0'));
}
