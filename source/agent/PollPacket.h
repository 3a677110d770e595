#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

// The wire texts of the long-polling transport, free of any connection:
// records "<length>:<type><data>", payloads of several records, the JSONP
// frame "___eio[<index>]("...");", the decoding of a POST body, session ids,
// the query parser and the HTTP date.
//
// Text travels one byte per character: the page reads the body as UTF-8, so
// a message byte of 0x80 or above leaves as two bytes and counts as one
// character in its record's length.
namespace PollPacket
{

// The packet types a page posts.
enum PacketType : int
{
	// The page closes its session.
	PacketClose = 1,
	PacketPing = 2,
	// socket.io's disconnect of the default namespace.
	PacketDisconnect = 41,
	// An application message: the JSON array from the first "[" on.
	PacketEvent = 42,
};

// How an answer is framed: JSONP when the request's "j" index reads as a
// number of 0 or more.
struct Framing
{
	bool jsonp = false;
	std::string index = "-1";
};

// "key=value" pairs of a query text, undecoded; a later key wins.
std::map<std::string, std::string> ParseQueryString(const std::string& query);

// A decimal number of at most nine digits: the only JSONP index real
// clients send, and the only text put into an answer's script.
bool IsJsonpIndex(const std::string& index);

// 20 characters of the Base64 alphabet from 15 bytes of the crypto
// library's generator; empty when the generator fails.
std::string NewSessionId();

// The open packet's data.
std::string HandshakeText(const std::string& sid, std::int32_t pingInterval, std::int32_t pingTimeout);

// One record of ASCII data; empty when the text cannot be built.
std::string EncodePacket(const std::string& type, const std::string& data, const Framing& framing);

// One record per message, each message's bytes widened to UTF-8.
std::string EncodeMessages(const std::string& type, const std::list<std::string>& messages, const Framing& framing);

// One record of a POST body: its packet type and its data from the first
// "[" on (empty when it has none).
struct Record
{
	int type;
	std::string payload;
};

// The text of a JSONP page's POST body, its form field "d=" and the records,
// as the page's client wrote it: the form's URL encoding is decoded, then the
// client's escaping of line feeds is undone. A form would send a line feed as
// CR LF, so the client writes each line feed as backslash-n, and first each
// backslash-n of its text as backslash-backslash-n; its record lengths count
// the text before that escaping.
std::string JsonpFormText(const std::string& body);

// Reads the records of a POST body (already decoded for JSONP and
// narrowed to one byte per character) one at a time, in order, so that a
// long body is never held twice. Each record is taken at its declared
// length; the first one the body cannot hold ends the body.
class PacketReader
{
public:
	PacketReader(std::string body, bool jsonp);
	// No record is left.
	bool AtEnd() const;
	// The next record; false at the end.
	bool Next(Record& record);

private:
	// Ends the body unless a whole record begins where the next is read.
	void Settle();

	std::string m_body;
	// Where the next record's length begins; npos once none is left.
	std::size_t m_at;
	// The next record's data: from its type to its end.
	std::size_t m_start = 0;
	std::size_t m_end = 0;
};

// Every record of a POST body, in order (see PacketReader).
std::vector<Record> DecodePackets(const std::string& body, bool jsonp);

// The packet type of the first record of a POST body, or -1.
int DecodePacket(const std::string& body, bool jsonp, std::string& payload);

// The local time as "YYYY-MM-DD hh:mm:ss".
std::string CurrentDateTime();

// "YYYY-MM-DD hh:mm:ss" of local time to the HTTP date in GMT; empty for a
// text that is not 19 characters long. When the time cannot be converted,
// conversionFailed is set and the fields are written as read, on a "Sun".
std::string HttpDate(const std::string& localDateTime, bool& conversionFailed);

} // namespace PollPacket
