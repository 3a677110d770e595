#include "base/Exception.h"
#include "base/Json2.h"

#include <gtest/gtest.h>

namespace
{

std::string Reparse(const std::string& text)
{
	return Json2::Parse(text).ToString(true);
}

// The message of the Exception the call throws; every one carries the fixed detail text.
template <typename Call>
std::string Thrown(Call call)
{
	try { call(); } catch (const Exception& e) { EXPECT_EQ("Not available", e.Detail()); return e.Message(); }
	return "(no exception)";
}

std::string ParseError(const std::string& text)
{
	return Thrown([&] { Json2::Parse(text); });
}

struct Case
{
	std::string input, expected;
};

} // namespace

// Loose commas, only the first value read; numbers are digits and points only.
TEST(Json2, LenientParserWritesWhatItRead)
{
	const std::string huge = "1" + std::string(400, '0');
	const Case cases[] = { { "[1 2,,3,]", "[1,2,3]" }, { "[,]", "[]" }, { "[nullnull true\tfalse]", "[null,null,true,false]" },
		{ "{ \"b\":[] \"a\":1,, \"a\":3 }", "{\"a\":3,\"b\":[]}" }, { "1 x", "1" }, { "[1]]", "[1]" }, { "]", "null" },
		{ std::string("[1]\0garbage", 11), "[1]" }, { "\"abc", "\"abc\"" }, { "-", "0" }, { "1.2.3", "1.200000" },
		{ "1e5", "1" }, { "-0.5", "-0.500000" },
		// Past a double's range a number is infinity, which JSON cannot spell ("inf" was written): null.
		{ "[" + huge + ".5,-" + huge + ".0,1]", "[null,null,1]" }, { "[null,null,1]", "[null,null,1]" } };
	for (const Case& c : cases)
		EXPECT_EQ(c.expected, Reparse(c.input)) << c.input;
	const std::string big = Reparse("1" + std::string(300, '0') + ".5"); // a huge double's whole "%f" text
	EXPECT_EQ(301u + 7u, big.size());
	EXPECT_EQ(".000000", big.substr(301));
}

TEST(Json2, ParseErrorsNameWhatWentWrong)
{
	const std::string cant = "Can't parse Json representation: ";
	const Case cases[] = { { " \r\n\t", cant }, { "[1,2", cant }, { "+1", cant + "1" }, { ".5", cant + "5" }, { "tru", cant + "ru" },
		{ "[xyz]", cant + "yz]" }, { "[\xC3\xA9]", cant + "\xA9]" }, { "[1:2]", "Unexpected end of Array: :" },
		{ "{1:2}", "Object element name missing" }, { "{\"a\" 1}", "Object element separator missing" },
		{ "{\"a\":}", "Unexpected character when parsing anytype: }" } };
	for (const Case& c : cases)
		EXPECT_EQ(c.expected, ParseError(c.input)) << c.input;
}

// Escapes decode in one pass; "\uXXXX" reads as JSON does, so a page's
// JSON.stringify and our own writer's "\u00XX" arrive as the characters.
TEST(Json2, StringEscapesReadAsUtf8)
{
	const Case cases[] = { { R"("a\/b")", "a\\/b" }, { R"("\"\\\r\n\t\f\b")", "\"\\\r\n\t\f\b" }, { R"("\\\n")", "\\\n" },
		{ R"("\u0041\u00e9\u20AC\u000b")", "A\xC3\xA9\xE2\x82\xAC\x0B" }, { R"("a\u0000b")", std::string("a\0b", 3) },
		// A surrogate pair is one character; a lone half is U+FFFD.
		{ R"("\ud83d\ude00")", "\xF0\x9F\x98\x80" }, { R"("\ud83dx\ude00")", "\xEF\xBF\xBDx\xEF\xBF\xBD" },
		{ R"("\ud83d\ud83d")", "\xEF\xBF\xBD\xEF\xBF\xBD" }, { R"("\udbff\u12")", "\xEF\xBF\xBD\\u12" },
		// Not four hex digits, or an escaped backslash before the "u": as it stands.
		{ R"("\u12G4 \u00")", "\\u12G4 \\u00" }, { R"("\\u0041")", "\\u0041" } };
	for (const Case& c : cases)
		EXPECT_EQ(c.expected, Json2::Parse(c.input).GetString()) << c.input;

	// Every control byte, and what a page sends, survive parse, write, parse.
	std::string all;
	for (int c = 1; c < 0x100; ++c)
		all += static_cast<char>(c);
	const std::string written = Json2(all).ToString(true);
	EXPECT_EQ(all, Json2::Parse(written).GetString());
	EXPECT_EQ(written, Reparse(written));
	const std::string page = R"(["zimracert_x",{"p":"\u000b\u001f\u007f\ud55c"}])";
	EXPECT_EQ("[\"zimracert_x\",{\"p\":\"\\u000b\\u001f\x7f\xED\x95\x9C\"}]", Reparse(page));
	EXPECT_EQ(Reparse(page), Reparse(Reparse(page)));
}

TEST(Json2, WriterIsByteExactWithSortedMembersAndJsonEscapes)
{
	Json2 object;
	object["b"] = 1;
	object["a"] = Json2::Parse("[\"x\",null,{}]");
	object["B"] = true;
	EXPECT_EQ("{\"B\":true,\"a\":[\"x\",null,{}],\"b\":1}", object.ToString(true));
	EXPECT_EQ("{B:true,a:[\"x\",null,{}],b:1}", object.ToString(false));

	const std::string raw("q\"b\\l\n\x7f\xC3\xA9/\r\t\f\b");
	EXPECT_EQ("\"q\\\"b\\\\l\\n\x7f\xC3\xA9/\\r\\t\\f\\b\"", Json2(raw).ToString(true));
	EXPECT_EQ(raw, Json2::Parse(Json2(raw).ToString(true)).GetString());
	EXPECT_EQ("\"\\u0000\\u0001\\u001f \"", Json2(std::string("\0\x01\x1f ", 4)).ToString(true));
	EXPECT_EQ("{\"k\\\"\\n\":-7}", Reparse(R"({"k\"\n":-7})"));
}

TEST(Json2, AccessorsConvertOnlyNullAndThrowOnOtherTypes)
{
	Json2 value;
	value["x"];
	EXPECT_EQ("{\"x\":null}", value.ToString(true));
	EXPECT_FALSE(value.HasKey("y"));
	Json2 list;
	list.GetArray().push_back(Json2(2));
	EXPECT_EQ("[2]", list.ToString(true));
	EXPECT_FALSE(list.HasKey("x"));

	Json2 text("abc");
	EXPECT_EQ("trying to add array data in non-array", Thrown([&] { text.Add(Json2(1)); }));
	EXPECT_EQ("\"abc\"", text.ToString(true));
	EXPECT_EQ("", Json2(5).GetString());
	EXPECT_EQ("Must be type: Array or type: Object", Thrown([] { static_cast<void>(Json2(Json2::String)); }));
	EXPECT_EQ("Must be type: Object", Thrown([&] { text["a"]; }));
	EXPECT_EQ("Json instance not of type: Array", Thrown([&] { value.GetArray(); }));
	EXPECT_EQ("{\"x\":null}", value.ToString(true));
}

TEST(Json2, NestingIsCappedAt512Levels)
{
	const std::string limit = std::string(512, '[') + std::string(512, ']');
	EXPECT_EQ(limit, Reparse(limit));
	const std::string tooDeep = "Json nesting deeper than 512 levels";
	std::string objects;
	for (int i = 0; i < 600; ++i)
		objects += "{\"a\":";
	for (const std::string& text : { "[" + limit + "]", std::string(1000000, '['), objects })
		EXPECT_EQ(tooDeep, ParseError(text));

	// Built by hand far deeper than any parse: tearing it down must not
	// recurse, and writing it is refused.
	Json2 deep;
	for (int i = 0; i < 200000; ++i)
	{
		Json2 outer(i % 2 ? Json2::Array : Json2::Object);
		i % 2 ? outer.Add(std::move(deep)) : void(outer["k"] = std::move(deep));
		deep = std::move(outer);
	}
	EXPECT_EQ(tooDeep, Thrown([&] { deep.ToString(true); }));
}
