#include "AgentTestSupport.h"

#include "agent/PollPacket.h"
#include "base/Encoding.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>

using PollPacket::Framing;

namespace
{

const Framing kPlain;
const Framing kJsonp{ true, "0" };

// The POST body engine.io-client writes for these message packets, as
// UTF-8 text.
std::string PageWrites(const std::string& jsonArray)
{
	const std::string hex = Shell(std::string("cd " ZC_SOURCE_DIR "/tests/peers && NODE_PATH=node_modules node ")
		+ "../agent/node/eio_payload.js encode '" + jsonArray + "'");
	std::string body;
	for (size_t i = 0; i + 1 < hex.size(); i += 2)
		body += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
	return body;
}

// The same body narrowed to one byte per character, as the server reads it.
std::string Narrowed(std::string body)
{
	EXPECT_GT(ConvertEncodingInPlace("UTF-8", "ISO-8859-1", body, true), 0);
	return body;
}

std::string PageSends(const std::string& jsonArray)
{
	return Narrowed(PageWrites(jsonArray));
}

// A JSON string of the text (no control characters in it).
std::string Quoted(const std::string& text)
{
	std::string out = "\"";
	for (const char c : text)
		out += c == '"' || c == '\\' ? std::string(1, '\\') + c : std::string(1, c);
	return out + "\"";
}

void SetZone(const char* zone)
{
	setenv("TZ", zone, 1);
	tzset();
}

} // namespace

TEST(PollPacket, ControlRecordsAndHandshake)
{
	EXPECT_EQ("2:40", PollPacket::EncodePacket("40", "", kPlain));
	EXPECT_EQ("1:3", PollPacket::EncodePacket("3", "", kPlain));
	EXPECT_EQ("1:6", PollPacket::EncodePacket("6", "", kPlain));
	EXPECT_EQ("___eio[0](\"2:40\");", PollPacket::EncodePacket("40", "", kJsonp));

	const std::string sid = "ABCDEFGHIJ+/0123456z";
	const std::string handshake = PollPacket::HandshakeText(sid, 1000, 60000);
	EXPECT_EQ("{\"pingInterval\":1000,\"pingTimeout\":60000,\"sid\":\"" + sid + "\",\"upgrades\":[\"websocket\"]}",
		handshake);
	const std::string record = PollPacket::EncodePacket("0", handshake, kPlain);
	EXPECT_EQ("96:0" + handshake, record);
	EXPECT_EQ("[{\"type\":\"open\",\"data\":" + Quoted(handshake)
		+ "},{\"type\":\"message\",\"data\":\"0\"},{\"type\":\"pong\"},{\"type\":\"noop\"}]",
		PageReads(record + "2:40" + "1:3" + "1:6"));
}

TEST(PollPacket, MessageLengthsCountWhatThePageReads)
{
	const std::string ascii(40, 'M');
	EXPECT_EQ("42:42" + ascii, PollPacket::EncodeMessages("42", { ascii }, kPlain));
	EXPECT_EQ(std::string("5:42A\xC3\xA9" "B"), PollPacket::EncodeMessages("42", { "A\xE9" "B" }, kPlain));

	// Korean text in UTF-8 bytes, one character per byte on the wire.
	const std::string korean = "[\"zimracert\",{\"data\":\"\xED\x95\x9C\xEA\xB8\x80 \\\"q\\\"\"}]";
	const std::string expected = "[{\"type\":\"message\",\"data\":\"2[\\\"zimracert\\\",{\\\"data\\\":\\\"한글 "
		"\\\\\\\"q\\\\\\\"\\\"}]\"},{\"type\":\"message\",\"data\":\"2x\"}]";
	EXPECT_EQ(expected, PageReads(PollPacket::EncodeMessages("42", { korean, "x" }, kPlain)));
	const std::string framed = PollPacket::EncodeMessages("42", { korean, "x" }, kJsonp);
	EXPECT_EQ(0u, framed.find("___eio[0](\""));
	EXPECT_EQ(expected, PageReads(framed, true));
	EXPECT_EQ("___eio[7](\"\");", PollPacket::EncodeMessages("42", {}, Framing{ true, "7" }));
}

namespace
{

std::string Types(const std::vector<PollPacket::Record>& records)
{
	std::string out;
	for (const PollPacket::Record& record : records)
		out += std::to_string(record.type) + record.payload + ";";
	return out;
}

} // namespace

// Each record is taken at its declared length; the first one the body cannot
// hold ends the list, the records before it still count.
TEST(PollPacket, DecodesEveryRecordOfABatchInOrder)
{
	const std::pair<const char*, const char*> cases[] = {{"1:1", "1;"}, {"2:41", "41;"}, {"7:42[1,2]", "42[1,2];"},
		{"1:24:42[]", "2;42[];"}, {"4:42[]5:42[1]", "42[];42[1];"}, {"0:4", ""}, {"abc", ""}, {"", ""},
		{"9:42[1]", ""}, {"-1:2", ""}, {"2:4", ""}, {":42[]", ""}, {"1:29:42[1]1:2", "2;"}, {"1:25:42[1]x", "2;42[1];"},
		{"1:20:41:2", "2;"}, {"-1:21:2", ""},
		// A record of an unknown type is still a record: the next one counts.
		{"1:54:42[]", "5;42[];"}};
	for (const auto& [body, records] : cases)
		EXPECT_EQ(records, Types(PollPacket::DecodePackets(body, false))) << body;
	// The JSONP form's field.
	EXPECT_EQ("2;42[1];41;", Types(PollPacket::DecodePackets("d=1:25:42[1]2:41", true)));
	EXPECT_EQ("", Types(PollPacket::DecodePackets("1:25:42[1]", true)));
	std::string payload = "stale";
	EXPECT_EQ(-1, PollPacket::DecodePacket("5:42[1]", true, payload));
	EXPECT_EQ("", payload);
	EXPECT_EQ(42, PollPacket::DecodePacket("d=5:42[1]", true, payload));
	EXPECT_EQ("[1]", payload);

	// What engine.io-client posts when a ping falls due beside two events,
	// non-ASCII in the first.
	const std::string body = PageSends("[{\"type\":\"ping\"},\"2[\\\"ev\\\",\\\"한\\\"]\",\"2[\\\"second\\\"]\"]");
	EXPECT_EQ(0u, body.find("1:2")) << body;
	EXPECT_EQ("2;42[\"ev\",\"\xED\x95\x9C\"];42[\"second\"];", Types(PollPacket::DecodePackets(body, false)));
}

namespace
{

std::string ReplacedAll(std::string text, const std::string& from, const std::string& to)
{
	for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
		text.replace(at, from.size(), to);
	return text;
}

// The form a JSONP page posts: socket.io-client turns each backslash-n pair
// of its text into backslash and a line feed, then each line feed into
// backslash-n; the browser then URL-encodes the field "d".
std::string JsonpForm(const std::string& text)
{
	const std::string escaped = ReplacedAll(ReplacedAll(text, "\\n", "\\\n"), "\n", "\\n");
	std::string form = "d=";
	for (const unsigned char c : escaped)
	{
		char hex[4];
		std::snprintf(hex, sizeof hex, "%%%02X", c);
		form += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : c == ' ' ? "+" : hex;
	}
	return form;
}

} // namespace

// Line feeds and backslash-n pairs in a JSONP page's texts come back as the
// page wrote them, each record at its declared length, and so do the
// records behind them.
TEST(PollPacket, JsonpFormGivesBackTheTextsAsWritten)
{
	// Each as JSON text: a line feed, a path with "\n", both side by side,
	// a backslash before each, and Korean beside a line feed.
	const std::vector<std::string> events = { R"(["ev","line\nfeed"])", R"(["ev",{"p":"C:\\new\\nancy"}])",
		R"(["ev","\\n\n"])", R"(["ev","\\\\n","\\\n"])", R"(["ev","한\n글"])", R"(["after"])" };
	std::string messages = "[";
	std::string expected;
	for (const std::string& event : events)
	{
		messages += (messages.size() > 1 ? "," : "") + Quoted("2" + event);
		expected += "42" + event + ";";
	}
	const std::string written = PageWrites(messages + "]");
	ASSERT_NE(std::string::npos, written.find("\\n")) << written;

	EXPECT_EQ(expected,
		Types(PollPacket::DecodePackets(Narrowed(PollPacket::JsonpFormText(JsonpForm(written))), true)));
	// Without JSONP the body is read as written.
	EXPECT_EQ(expected, Types(PollPacket::DecodePackets(Narrowed(written), false)));
	// A raw line feed, which a JSON text never holds, comes back too.
	EXPECT_EQ("d=4:a\nb\\n", PollPacket::JsonpFormText(JsonpForm("4:a\nb\\n")));
}

TEST(PollPacket, QueryParser)
{
	auto query = PollPacket::ParseQueryString("EIO=3&transport=polling&t=Mz1a2b-0&sid=a%2Bb");
	EXPECT_EQ((std::map<std::string, std::string>{ { "EIO", "3" }, { "sid", "a%2Bb" }, { "t", "Mz1a2b-0" },
		{ "transport", "polling" } }), query);
	EXPECT_EQ("2", PollPacket::ParseQueryString("j=1&j=2")["j"]);
	EXPECT_EQ((std::map<std::string, std::string>{ { "b", "1" }, { "c", "" } }),
		PollPacket::ParseQueryString("a-b=1&c=&&=x"));
	EXPECT_TRUE(PollPacket::ParseQueryString("justtext").empty());

	for (const char* index : { "-1", "abc", "", "1a", "0x1", "\");alert(1);//", " 1", "1234567890" })
		EXPECT_FALSE(PollPacket::IsJsonpIndex(index)) << index;
	for (const char* index : { "0", "12", "007", "999999999" })
		EXPECT_TRUE(PollPacket::IsJsonpIndex(index)) << index;
}

TEST(PollPacket, SessionIdsAreTwentyBase64CharactersAndDistinct)
{
	std::set<std::string> seen;
	for (int i = 0; i < 2000; ++i)
	{
		const std::string id = PollPacket::NewSessionId();
		ASSERT_EQ(20u, id.size());
		EXPECT_EQ(std::string::npos, id.find_first_not_of(
			"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")) << id;
		seen.insert(id);
	}
	EXPECT_EQ(2000u, seen.size());
}

TEST(PollPacket, HttpDate)
{
	bool failed = true;
	SetZone("Asia/Seoul");
	EXPECT_EQ("Sat, 05 Dec 2026 10:47:05 GMT", PollPacket::HttpDate("2026-12-05 19:47:05", failed));
	EXPECT_FALSE(failed);
	// A summer clock is read as summer time.
	SetZone("Europe/Berlin");
	EXPECT_EQ("Wed, 01 Jul 2026 10:00:00 GMT", PollPacket::HttpDate("2026-07-01 12:00:00", failed));
	EXPECT_EQ("Sat, 05 Dec 2026 18:47:05 GMT", PollPacket::HttpDate("2026-12-05 19:47:05", failed));
	EXPECT_EQ("", PollPacket::HttpDate("2026-1-5 1:2:3", failed));
	EXPECT_EQ("Sun, 05 Dec 3026 19:47:05 GMT", PollPacket::HttpDate("3026-12-05 19:47:05", failed));
	EXPECT_TRUE(failed);

	// The current time agrees with date(1) to within a few seconds.
	const std::string ours = PollPacket::HttpDate(PollPacket::CurrentDateTime(), failed);
	const std::string theirs = Shell("TZ=UTC date -u '+%a, %d %b %Y %H:%M:%S GMT' | tr -d '\\n'");
	std::tm a{}, b{};
	ASSERT_NE(nullptr, strptime(ours.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &a)) << ours;
	ASSERT_NE(nullptr, strptime(theirs.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &b)) << theirs;
	EXPECT_LE(std::abs(timegm(&a) - timegm(&b)), 5);
}
