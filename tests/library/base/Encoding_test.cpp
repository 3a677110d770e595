#include "base/Encoding.h"

#include "support/IconvOracle.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{

std::u16string Decode(const std::string& utf8, int capacity = 64, int length = -2)
{
	std::u16string out(static_cast<size_t>(capacity), u'\x7777');
	const int written = Utf8ToUtf16(&out[0], capacity, reinterpret_cast<const unsigned char*>(utf8.data()),
		length == -2 ? static_cast<int>(utf8.size()) : length);
	EXPECT_EQ(0, out[static_cast<size_t>(written)]);
	return out.substr(0, static_cast<size_t>(written));
}

} // namespace

TEST(Utf8ToUtf16, AgreesWithIconvOnValidText)
{
	std::mt19937 random(16);
	for (int round = 0; round < 300; ++round)
	{
		const std::string utf8 = RandomUtf8(random, random() % 50 + 1);
		ASSERT_EQ(Utf8ToUtf16ByIconv(utf8), Decode(utf8, static_cast<int>(utf8.size()) + 1));
	}
}

// No overlong, surrogate or out-of-range spelling may become a character ("\" above all).
TEST(Utf8ToUtf16, MalformedSequencesNeverSpellAnotherCharacter)
{
	const char16_t bad = 0xFFFD;
	EXPECT_EQ((std::u16string{ 'a', bad, 'b' }), Decode("a\xC1\x9C" "b"));
	for (const char* sequence : { "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80" })
		EXPECT_EQ(std::u16string(1, bad), Decode(sequence)) << sequence;
	EXPECT_EQ((std::u16string{ bad, 'x' }), Decode("\x80x"));
	EXPECT_EQ((std::u16string{ bad, '\\', 'y' }), Decode("\xE2\\y"));
}

TEST(Utf8ToUtf16, StopsAtCapacityAndAtTheEndOfTheInput)
{
	EXPECT_EQ(u"ab", Decode("abcd", 3));
	EXPECT_EQ(u"", Decode("abcd", 1));
	EXPECT_EQ(u"a", Decode("a\xF0\x9F\x98\x80", 3)); // a pair needs two units
	EXPECT_EQ(u"a", Decode("a\xE2\x82\xAC", 64, 3));
	EXPECT_EQ(u"ab", Decode(std::string("ab\0c", 4), 64, -1));
	EXPECT_EQ(u"a", Decode("a\xC3", 64, -1));
}

TEST(Encoding, ConversionsReportLengthsAndAllocateOnlyForOutput)
{
	std::string text = "\xE9";
	EXPECT_EQ(1, ConvertEncodingInPlace("ISO-8859-1", "UTF-8", text, true));
	EXPECT_EQ("\xC3\xA9", text);
	EXPECT_EQ(2, ConvertEncodingInPlace("UTF-8", "ISO-8859-1", text, true));
	EXPECT_EQ("\xE9", text);
	EXPECT_EQ(2, ConvertEncodingInPlace("iso-8859-1", "Char", text, false)); // "CHAR": UTF-8, any case
	text = "a\xE2\x82\xAC";
	EXPECT_EQ(0, ConvertEncodingInPlace("UTF-8", "ISO-8859-1", text, true)); // failed: emptied
	EXPECT_EQ("", text);
	text = "keep";
	EXPECT_EQ(-1, ConvertEncodingInPlace("NO-SUCH-SET", "UTF-8", text, true));
	EXPECT_EQ(-1, ConvertEncodingInPlace("CHARS", "UTF-8", text, true));
	EXPECT_EQ("keep", text);
	EXPECT_EQ(5, strlen_mb(std::string("a\xC3\xA9\0\xFF", 5)));

	char* out = nullptr;
	EXPECT_EQ(0, ConvertEncodingToBuffer("", 0, "CHAR", "UTF-8", &out));
	EXPECT_EQ(-1, ConvertEncodingToBuffer("x", 1, "nope", "UTF-8", &out));
	EXPECT_EQ(-1, ConvertEncodingToBuffer("\xC3", 1, "char", "iso-8859-1", &out));
	EXPECT_EQ(nullptr, out);
	ASSERT_EQ(2, ConvertEncodingToBuffer("\xC3\xA9\xC3\xA8", 4, "char", "iso-8859-1", &out));
	EXPECT_STREQ("\xE9\xE8", out);
	std::free(out);
}

// CP1252's euro sign, ellipsis, trade mark and quotation mark each become three
// UTF-8 bytes: the output buffer of three bytes an input byte is exactly full.
TEST(Encoding, ThreefoldGrowthFitsTheOutputBuffer)
{
	for (const std::string given : { "\x80\x80\x80", "\x80\x85\x99\x8B\x80\x85\x99\x8B\x80\x85\x99\x8B\x80\x85\x99\x8B" })
	{
		const std::string grown = IconvConvert(given, "CP1252", "UTF-8");
		ASSERT_EQ(3 * given.size(), grown.size());
		char* out = nullptr;
		ASSERT_EQ(static_cast<int>(grown.size()), ConvertEncodingToBuffer(given.data(), static_cast<int>(given.size()), "cp1252", "UTF-8", &out));
		EXPECT_EQ(grown + '\0', std::string(out, grown.size() + 1));
		std::free(out);
		std::string text = given;
		EXPECT_EQ(static_cast<int>(given.size()), ConvertEncodingInPlace("CP1252", "UTF-8", text, true));
		EXPECT_EQ(grown, text);
	}
}
