#include "agent/PollPacket.h"

#include "PKI/cert_util.h"
#include "base/Base64.h"
#include "base/Encoding.h"
#include "base/Json2.h"
#include "base/NetUtil.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <regex>

namespace PollPacket
{
namespace
{

void OpenFrame(std::string& out, const Framing& framing)
{
	if (framing.jsonp)
		out += "___eio[" + framing.index + "](\"";
}

void CloseFrame(std::string& out, const Framing& framing)
{
	if (framing.jsonp)
		out += "\");";
}

void AppendRecord(std::string& out, const std::string& type, std::size_t characters, std::string data,
	const Framing& framing)
{
	out += std::to_string(type.size() + characters);
	out += ':';
	out += type;
	if (data.empty())
		return;
	if (framing.jsonp)
		Json2().Escape(data);
	out += data;
}

int Digits(const std::string& text, std::size_t at, std::size_t count)
{
	return std::atoi(text.substr(at, count).c_str());
}

} // namespace

std::map<std::string, std::string> ParseQueryString(const std::string& query)
{
	static const std::regex pair("([\\w+%]+)=([^&]*)", std::regex::ECMAScript);
	std::map<std::string, std::string> out;
	for (auto it = std::sregex_iterator(query.begin(), query.end(), pair); it != std::sregex_iterator(); ++it)
		out[(*it)[1].str()] = (*it)[2].str();
	return out;
}

bool IsJsonpIndex(const std::string& index)
{
	// Only a script callback number: the index is written into the script
	// text of every answer.
	const std::size_t kMaxDigits = 9;
	return !index.empty() && index.size() <= kMaxDigits
		&& std::all_of(index.begin(), index.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string NewSessionId()
{
	unsigned char bytes[15];
	if (RAND_bytes(bytes, sizeof bytes) != 1)
		return std::string();
	std::string id;
	Base64::Encode(reinterpret_cast<const char*>(bytes), sizeof bytes, id, false);
	return id;
}

std::string HandshakeText(const std::string& sid, std::int32_t pingInterval, std::int32_t pingTimeout)
{
	Json2 data(Json2::Object);
	data["pingInterval"] = Json2(static_cast<long>(pingInterval));
	data["pingTimeout"] = Json2(static_cast<long>(pingTimeout));
	data["sid"] = Json2(sid);
	Json2 upgrades(Json2::Array);
	upgrades.Add(Json2("websocket"));
	data["upgrades"] = upgrades;
	return data.ToString(true);
}

std::string EncodePacket(const std::string& type, const std::string& data, const Framing& framing)
{
	try
	{
		std::string out;
		OpenFrame(out, framing);
		AppendRecord(out, type, static_cast<std::size_t>(strlen_mb(data)), data, framing);
		CloseFrame(out, framing);
		return out;
	}
	catch (const std::exception& e)
	{
		std::fprintf(stderr, "packet \"%s\" not built: %s\n", type.c_str(), e.what());
		return std::string();
	}
}

std::string EncodeMessages(const std::string& type, const std::list<std::string>& messages, const Framing& framing)
{
	try
	{
		std::string out;
		OpenFrame(out, framing);
		for (const std::string& message : messages)
		{
			std::string wide = message;
			const int bytes = ConvertEncodingInPlace("ISO-8859-1", "UTF-8", wide, true);
			if (bytes < 0)
				return std::string();
			AppendRecord(out, type, static_cast<std::size_t>(bytes), std::move(wide), framing);
		}
		CloseFrame(out, framing);
		return out;
	}
	catch (const std::exception& e)
	{
		std::fprintf(stderr, "%zu message(s) not built: %s\n", messages.size(), e.what());
		return std::string();
	}
}

std::string JsonpFormText(const std::string& body)
{
	const std::string form = NetUtil::UrlDecode(body);
	std::string text;
	text.reserve(form.size());
	for (std::size_t i = 0; i < form.size(); ++i)
	{
		if (form.compare(i, 3, "\\\\n") == 0)
		{
			text += "\\n";
			i += 2;
		}
		else if (form.compare(i, 2, "\\n") == 0)
		{
			text += '\n';
			i += 1;
		}
		else
			text += form[i];
	}
	return text;
}

PacketReader::PacketReader(std::string body, bool jsonp)
	: m_body(std::move(body))
	, m_at(0)
{
	// A JSONP body is the form field "d=" and the records.
	if (jsonp)
		m_at = m_body.find("d=") == std::string::npos || m_body.find(':') < 2 ? std::string::npos : 2;
	Settle();
}

void PacketReader::Settle()
{
	if (m_at >= m_body.size())
	{
		m_at = std::string::npos;
		return;
	}
	const std::size_t colon = m_body.find(':', m_at);
	const long length = colon == std::string::npos ? 0 : std::atol(m_body.substr(m_at, colon - m_at).c_str());
	if (length < 1 || static_cast<unsigned long>(length) > m_body.size() - colon - 1)
	{
		m_at = std::string::npos;
		return;
	}
	m_start = colon + 1;
	m_end = m_start + static_cast<std::size_t>(length);
}

bool PacketReader::AtEnd() const
{
	return m_at == std::string::npos;
}

bool PacketReader::Next(Record& record)
{
	if (AtEnd())
		return false;
	const std::size_t bracket = static_cast<std::size_t>(
		std::find(m_body.begin() + m_start, m_body.begin() + m_end, '[') - m_body.begin());
	if (bracket == m_end)
		record = { std::atoi(m_body.substr(m_start, m_end - m_start).c_str()), std::string() };
	else
		record = { std::atoi(m_body.substr(m_start, bracket - m_start).c_str()),
			m_body.substr(bracket, m_end - bracket) };
	m_at = m_end;
	Settle();
	return true;
}

std::vector<Record> DecodePackets(const std::string& body, bool jsonp)
{
	std::vector<Record> records;
	PacketReader reader(body, jsonp);
	for (Record record; reader.Next(record);)
		records.push_back(std::move(record));
	return records;
}

int DecodePacket(const std::string& body, bool jsonp, std::string& payload)
{
	payload.clear();
	const std::vector<Record> records = DecodePackets(body, jsonp);
	if (records.empty())
		return -1;
	payload = records.front().payload;
	return records.front().type;
}

std::string CurrentDateTime()
{
	const std::time_t now = std::time(nullptr);
	std::tm local{};
	localtime_r(&now, &local);
	char text[80];
	std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
		local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
	return text;
}

std::string HttpDate(const std::string& localDateTime, bool& conversionFailed)
{
	static const char* const kDays[] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
	static const char* const kMonths[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct",
		"Nov", "Dec" };
	conversionFailed = false;
	if (localDateTime.size() != 19)
		return std::string();
	std::tm fields{};
	fields.tm_year = Digits(localDateTime, 0, 4) - 1900;
	fields.tm_mon = Digits(localDateTime, 5, 2) - 1;
	if (fields.tm_mon < 0)
		fields.tm_mon = 0;
	fields.tm_mday = Digits(localDateTime, 8, 2);
	fields.tm_hour = Digits(localDateTime, 11, 2);
	fields.tm_min = Digits(localDateTime, 14, 2);
	fields.tm_sec = Digits(localDateTime, 17, 2);
	// Whether summer time applies is the zone's to say: the text is the
	// local clock, summer or not.
	fields.tm_isdst = -1;
	std::tm asRead = fields;
	const std::int64_t t = MkTime64(&fields);
	std::tm out{};
	if (t == -1)
	{
		conversionFailed = true;
		out = asRead;
		out.tm_wday = 0;
		if (out.tm_mon > 11)
			out.tm_mon = 11;
	}
	else
	{
		const std::time_t seconds = static_cast<std::time_t>(t);
		gmtime_r(&seconds, &out);
	}
	char text[80];
	std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d GMT", kDays[out.tm_wday], out.tm_mday,
		kMonths[out.tm_mon], out.tm_year + 1900, out.tm_hour, out.tm_min, out.tm_sec);
	return text;
}

} // namespace PollPacket
