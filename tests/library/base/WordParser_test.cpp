#include "base/WordParser.h"

#include <gtest/gtest.h>

TEST(WordParser, SplitsOnBlanksAndEndsWithEmptyWords)
{
	WordParser line("GET /tessark.io/?EIO=3&t=x HTTP/1.1");
	EXPECT_EQ("GET", line.NextWord());
	std::string url;
	line.NextWord(url);
	EXPECT_EQ("/tessark.io/?EIO=3&t=x", url);
	EXPECT_EQ("HTTP/1.1", line.NextWord());
	EXPECT_EQ("", line.NextWord());
	EXPECT_EQ("", line.NextWord());
	EXPECT_EQ(0, line.NextLong());
	EXPECT_EQ("", line.RestOfText());

	WordParser padded(" \t\r\nab \r\n\tcd\r\n");
	EXPECT_EQ("ab", padded.NextWord());
	EXPECT_EQ("cd", padded.NextWord());
	EXPECT_EQ("", padded.NextWord());

	WordParser empty("");
	EXPECT_EQ("", empty.NextWord());
	EXPECT_EQ("", empty.RestOfText());
}

TEST(WordParser, SplitCharactersSeparateNumbersAndHeaderValues)
{
	WordParser dotted("10..0.x.300", ".");
	EXPECT_EQ(10, dotted.NextLong());
	EXPECT_EQ(0, dotted.NextLong());
	EXPECT_EQ(0, dotted.NextLong()); // "x" is no number
	EXPECT_EQ(300, dotted.NextLong());
	EXPECT_EQ(0, dotted.NextLong());

	WordParser header("Host: : localhost:8080\r\n", ":");
	EXPECT_EQ("Host", header.NextWord());
	EXPECT_EQ("localhost:8080\r\n", header.RestOfText());
	EXPECT_EQ("localhost", header.NextWord()); // the position stayed at the value

	WordParser bare("Upgrade:", ":");
	EXPECT_EQ("Upgrade", bare.NextWord());
	EXPECT_EQ("", bare.RestOfText());

	WordParser blankSplit("a b;c", " ;");
	EXPECT_TRUE(blankSplit.IsSplitChar(';'));
	EXPECT_FALSE(WordParser("x").IsSplitChar('\0'));
	EXPECT_EQ("a", blankSplit.NextWord());
	EXPECT_EQ("b", blankSplit.NextWord());
	EXPECT_EQ("c", blankSplit.NextWord());
}

TEST(WordParser, NulByteEndsAWord)
{
	WordParser parser(std::string("ab\0cd", 5));
	EXPECT_EQ("ab", parser.NextWord());
	EXPECT_EQ("cd", parser.NextWord());

	WordParser leading(std::string("\0x", 2));
	EXPECT_EQ("", leading.NextWord());
	EXPECT_EQ("x", leading.NextWord());
}
