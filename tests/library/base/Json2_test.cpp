#include "base/Exception.h"
#include "base/Json2.h"

#include <gtest/gtest.h>

namespace
{

std::string Reparse(const std::string& text)
{
	return Json2::Parse(text).ToString(true);
}

// The message of the Exception the call throws; every one carries the
// fixed detail text.
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

} // namespace

TEST(Json2, LenientParserAcceptsLooseCommasAndReadsOnlyTheFirstValue)
{
	EXPECT_EQ("[1,2,3]", Reparse("[1 2,,3,]"));
	EXPECT_EQ("[]", Reparse("[,]"));
	EXPECT_EQ("[null,null,true,false]", Reparse("[nullnull true\tfalse]"));
	EXPECT_EQ("{\"a\":3,\"b\":[]}", Reparse("{ \"b\":[] \"a\":1,, \"a\":3 }"));
	EXPECT_EQ("1", Reparse("1 x"));
	EXPECT_EQ("[1]", Reparse("[1]]"));
	EXPECT_EQ(Json2::Null, Json2::Parse("]").Type());
	EXPECT_EQ("[1]", Reparse(std::string("[1]\0garbage", 11)));
	EXPECT_EQ("\"abc\"", Reparse("\"abc"));
}

TEST(Json2, NumbersAreDigitsAndPointsOnly)
{
	EXPECT_EQ("0", Reparse("-"));
	EXPECT_EQ("1.200000", Reparse("1.2.3"));
	EXPECT_EQ("1", Reparse("1e5"));
	EXPECT_EQ("-0.500000", Reparse("-0.5"));
	// A huge double still writes its whole "%f" text.
	const std::string big = Reparse("1" + std::string(300, '0') + ".5");
	EXPECT_EQ(301u + 7u, big.size());
	EXPECT_EQ(".000000", big.substr(301));
	// Past a double's range a number reads as infinity, which JSON cannot
	// spell: the writer wrote "inf", which no reader (ours included) takes.
	// It writes null, as a browser's JSON.stringify does.
	const std::string huge = "1" + std::string(400, '0');
	EXPECT_EQ("[null,null,1]", Reparse("[" + huge + ".5,-" + huge + ".0,1]"));
	EXPECT_EQ("[null,null,1]", Reparse(Reparse("[" + huge + ".5,-" + huge + ".0,1]")));
}

TEST(Json2, ParseErrorsNameWhatWentWrong)
{
	const std::string cant = "Can't parse Json representation: ";
	EXPECT_EQ(cant, ParseError(" \r\n\t"));
	EXPECT_EQ(cant, ParseError("[1,2"));
	EXPECT_EQ(cant + "1", ParseError("+1"));
	EXPECT_EQ(cant + "5", ParseError(".5"));
	EXPECT_EQ(cant + "ru", ParseError("tru"));
	EXPECT_EQ(cant + "yz]", ParseError("[xyz]"));
	EXPECT_EQ(cant + "\xA9]", ParseError("[\xC3\xA9]"));
	EXPECT_EQ("Unexpected end of Array: :", ParseError("[1:2]"));
	EXPECT_EQ("Object element name missing", ParseError("{1:2}"));
	EXPECT_EQ("Object element separator missing", ParseError("{\"a\" 1}"));
	EXPECT_EQ("Unexpected character when parsing anytype: }", ParseError("{\"a\":}"));
}

TEST(Json2, StringTokensDecodeSevenEscapesInOnePass)
{
	EXPECT_EQ("a\\/b", Json2::Parse("\"a\\/b\"").GetString());
	EXPECT_EQ("\"\\\r\n\t\f\b", Json2::Parse(R"("\"\\\r\n\t\f\b")").GetString());
	// An escaped backslash followed by an escaped control letter.
	EXPECT_EQ("\\\n", Json2::Parse(R"("\\\n")").GetString());
}

// "\uXXXX" reads as JSON does, so a page's JSON.stringify and our own
// writer's "\u00XX" arrive as the characters they stand for.
TEST(Json2, UnicodeEscapesReadAsUtf8)
{
	EXPECT_EQ("A\xC3\xA9\xE2\x82\xAC\x0B", Json2::Parse(R"("\u0041\u00e9\u20AC\u000b")").GetString());
	EXPECT_EQ(std::string("a\0b", 3), Json2::Parse(R"("a\u0000b")").GetString());
	// A surrogate pair is one character; a lone half is U+FFFD.
	EXPECT_EQ("\xF0\x9F\x98\x80", Json2::Parse(R"("\ud83d\ude00")").GetString());
	EXPECT_EQ("\xEF\xBF\xBDx\xEF\xBF\xBD", Json2::Parse(R"("\ud83dx\ude00")").GetString());
	EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", Json2::Parse(R"("\ud83d\ud83d")").GetString());
	EXPECT_EQ("\xEF\xBF\xBD\\u12", Json2::Parse(R"("\udbff\u12")").GetString());
	// Not four hex digits, or an escaped backslash before the "u": as it stands.
	EXPECT_EQ("\\u12G4 \\u00", Json2::Parse(R"("\u12G4 \u00")").GetString());
	EXPECT_EQ("\\u0041", Json2::Parse(R"("\\u0041")").GetString());

	// Every control byte, and what a page sends, survive parse, write, parse.
	std::string all;
	for (int c = 1; c < 0x100; ++c)
		all += static_cast<char>(c);
	const std::string written = Json2(all).ToString(true);
	EXPECT_EQ(all, Json2::Parse(written).GetString());
	EXPECT_EQ(written, Reparse(written));
	const std::string page = R"(["zimracert_x",{"p":"\u000b\u001f\u007f\ud55c"}])";
	EXPECT_EQ(Reparse(page), Reparse(Reparse(page)));
	EXPECT_EQ("[\"zimracert_x\",{\"p\":\"\\u000b\\u001f\x7f\xED\x95\x9C\"}]", Reparse(page));
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

	EXPECT_EQ("{\"k\\\"\\n\":-7}", Json2::Parse(R"({"k\"\n":-7})").ToString(true));
}

TEST(Json2, AccessorsConvertOnlyNullAndThrowOnOtherTypes)
{
	Json2 value;
	value["x"];
	EXPECT_EQ(Json2::Object, value.Type());
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

	EXPECT_EQ("Must be type: Array or type: Object", Thrown([] { Json2(Json2::String); }));
	EXPECT_EQ("Must be type: Object", Thrown([&] { text["a"]; }));
	EXPECT_EQ("Json instance not of type: Array", Thrown([&] { value.GetArray(); }));
	EXPECT_EQ("{\"x\":null}", value.ToString(true));
}

TEST(Json2, NestingIsCappedAt512Levels)
{
	const std::string limit = std::string(512, '[') + std::string(512, ']');
	EXPECT_EQ(limit, Reparse(limit));
	const std::string tooDeep = "Json nesting deeper than 512 levels";
	EXPECT_EQ(tooDeep, ParseError("[" + limit + "]"));
	EXPECT_EQ(tooDeep, ParseError(std::string(1000000, '[')));
	std::string objects;
	for (int i = 0; i < 600; ++i)
		objects += "{\"a\":";
	EXPECT_EQ(tooDeep, ParseError(objects));

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
