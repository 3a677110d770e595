#include "base/Json2.h"

#include "base/Exception.h"
#include "base/NetUtil.h"
#include "platform/text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

const char* const TooDeep = "Json nesting deeper than 512 levels";

bool IsBlank(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNumberByte(char c)
{
	return (c >= '0' && c <= '9') || c == '.';
}

void CheckDepth(int depth)
{
	if (depth > Json2::MaxDepth)
		throw Exception(TooDeep);
}

// The value of the four hexadecimal digits at `at`, or -1.
long HexUnit(const std::string& text, size_t at)
{
	if (at + 4 > text.size())
		return -1;
	long value = 0;
	for (size_t i = at; i < at + 4; ++i)
	{
		const char c = text[i];
		const int digit = c >= '0' && c <= '9' ? c - '0'
			: c >= 'a' && c <= 'f'             ? c - 'a' + 10
			: c >= 'A' && c <= 'F'             ? c - 'A' + 10
											   : -1;
		if (digit < 0)
			return -1;
		value = value * 16 + digit;
	}
	return value;
}

} // namespace

Json2::Json2()
	: m_type(Null)
	, m_integer(0)
	, m_double(0)
	, m_boolean(false)
{
}

Json2::Json2(long value)
	: Json2()
{
	m_type = Integer;
	m_integer = value;
}

Json2::Json2(int value)
	: Json2(static_cast<long>(value))
{
}

Json2::Json2(const char* value)
	: Json2(std::string(value))
{
}

Json2::Json2(const std::string& value)
	: Json2()
{
	m_type = String;
	m_string = value;
}

Json2::Json2(bool value)
	: Json2()
{
	m_type = Boolean;
	m_boolean = value;
}

Json2::Json2(ValueType type)
	: Json2()
{
	if (type != Array && type != Object)
		throw Exception("Must be type: Array or type: Object");
	m_type = type;
}

// Tears the tree down level by level instead of recursing, so that no
// nesting depth, however it was built, can overflow the stack here.
Json2::~Json2()
{
	if (m_array.empty() && m_object.empty())
		return;
	std::list<Json2> pending;
	DetachChildren(pending);
	while (!pending.empty())
	{
		pending.front().DetachChildren(pending);
		pending.pop_front();
	}
}

void Json2::DetachChildren(std::list<Json2>& pending)
{
	pending.splice(pending.end(), m_array);
	for (auto& member : m_object)
	{
		if (!member.second.m_array.empty() || !member.second.m_object.empty())
			pending.push_back(std::move(member.second));
	}
	m_object.clear();
}

Json2::ValueType Json2::Type() const
{
	return m_type;
}

long Json2::GetInteger() const
{
	return m_integer;
}

std::string Json2::GetString() const
{
	return m_string;
}

std::string& Json2::StringRef()
{
	return m_string;
}

bool Json2::HasKey(const std::string& name) const
{
	return m_type == Object && m_object.find(name) != m_object.end();
}

Json2& Json2::operator[](const char* name)
{
	return (*this)[std::string(name)];
}

Json2& Json2::operator[](const std::string& name)
{
	if (m_type == Null)
		m_type = Object;
	if (m_type != Object)
		throw Exception("Must be type: Object");
	return m_object[name];
}

void Json2::Add(Json2 value)
{
	if (m_type == Null)
		m_type = Array;
	if (m_type != Array)
		throw Exception("trying to add array data in non-array");
	m_array.push_back(std::move(value));
}

std::list<Json2>& Json2::GetArray()
{
	if (m_type == Null)
		m_type = Array;
	if (m_type != Array)
		throw Exception("Json instance not of type: Array");
	return m_array;
}

Json2 Json2::Parse(const std::string& text)
{
	Json2 value;
	unsigned index = 0;
	value.Decode(text.c_str(), index);
	return value;
}

int Json2::ReadToken(const char* text, unsigned& index, std::string& token)
{
	while (IsBlank(text[index]))
		++index;
	const char c = text[index];
	if (c == '-' || (c >= '0' && c <= '9'))
	{
		const unsigned start = index;
		if (c == '-')
			++index;
		bool hasPoint = false;
		while (IsNumberByte(text[index]))
		{
			hasPoint = hasPoint || text[index] == '.';
			++index;
		}
		token.assign(text + start, index - start);
		m_type = hasPoint ? Double : Integer;
		return -static_cast<int>(m_type);
	}
	if (c == '"')
	{
		const unsigned start = ++index;
		bool escaped = false;
		while (text[index] != '\0' && (escaped || text[index] != '"'))
		{
			escaped = !escaped && text[index] == '\\';
			++index;
		}
		token.assign(text + start, index - start);
		if (text[index] == '"')
			++index;
		Unescape(token);
		m_type = String;
		return -String;
	}
	if (std::strncmp(text + index, "null", 4) == 0)
	{
		m_type = Null;
		token = "null";
		index += 4;
		return -Null;
	}
	const bool isTrue = std::strncmp(text + index, "true", 4) == 0;
	if (isTrue || std::strncmp(text + index, "false", 5) == 0)
	{
		m_type = Boolean;
		m_boolean = isTrue;
		token = isTrue ? "true" : "false";
		index += isTrue ? 4 : 5;
		return -Boolean;
	}
	if (c == '\0')
		return 0;
	++index;
	return static_cast<unsigned char>(c);
}

char Json2::Decode(const char* text, unsigned& index)
{
	return Decode(text, index, 0);
}

char Json2::Decode(const char* text, unsigned& index, int depth)
{
	std::string token;
	const int kind = ReadToken(text, index, token);
	switch (kind)
	{
	case -Double:
		m_double = std::atof(token.c_str());
		return 0;
	case -Integer:
		m_integer = std::atoi(token.c_str());
		return 0;
	case -String:
		m_string = token;
		return 0;
	case -Null:
	case -Boolean:
		return 0;
	case '[':
		return DecodeArray(text, index, depth + 1);
	case '{':
		return DecodeObject(text, index, depth + 1);
	case ']':
	case '}':
	case ',':
	case ':':
		return static_cast<char>(kind);
	default:
		throw Exception(std::string("Can't parse Json representation: ") + (text + index));
	}
}

char Json2::DecodeArray(const char* text, unsigned& index, int depth)
{
	CheckDepth(depth);
	m_type = Array;
	for (;;)
	{
		Json2 child;
		const char result = child.Decode(text, index, depth);
		if (result == 0)
			m_array.push_back(std::move(child));
		else if (result == ']')
			return 0;
		else if (result != ',')
			throw Exception(std::string("Unexpected end of Array: ") + result);
	}
}

char Json2::DecodeObject(const char* text, unsigned& index, int depth)
{
	CheckDepth(depth);
	m_type = Object;
	enum { ExpectName, ExpectSeparator, ExpectValue } state = ExpectName;
	std::string name;
	for (;;)
	{
		Json2 child;
		const char result = child.Decode(text, index, depth);
		switch (state)
		{
		case ExpectName:
			if (result == '}')
				return 0;
			if (result == ',')
				break;
			if (result != 0 || child.m_type != String)
				throw Exception("Object element name missing");
			name = child.m_string;
			state = ExpectSeparator;
			break;
		case ExpectSeparator:
			if (result != ':')
				throw Exception("Object element separator missing");
			state = ExpectValue;
			break;
		case ExpectValue:
			if (result != 0)
				throw Exception(std::string("Unexpected character when parsing anytype: ") + result);
			m_object[name] = std::move(child);
			state = ExpectName;
			break;
		}
	}
}

std::string Json2::ToString(bool quoteNames) const
{
	std::string out;
	Write(out, quoteNames, 0);
	return out;
}

void Json2::Write(std::string& out, bool quoteNames, int depth) const
{
	switch (m_type)
	{
	case Integer:
		out += NetUtil::LongToString(m_integer);
		break;
	case Double:
	{
		// JSON has no word for infinity (what a number past a double's range
		// reads as): null, as a browser's JSON.stringify writes it.
		if (!std::isfinite(m_double))
		{
			out += "null";
			break;
		}
		// "%f" of the largest double is over 300 characters: measure first.
		const int length = std::snprintf(nullptr, 0, "%f", m_double);
		std::string text(static_cast<size_t>(length) + 1, '\0');
		std::snprintf(&text[0], text.size(), "%f", m_double);
		text.resize(static_cast<size_t>(length));
		out += text;
		break;
	}
	case String:
		out += '"';
		out += Escaped(m_string);
		out += '"';
		break;
	case Boolean:
		out += m_boolean ? "true" : "false";
		break;
	case Array:
	{
		CheckDepth(depth + 1);
		out += '[';
		const char* separator = "";
		for (const Json2& element : m_array)
		{
			out += separator;
			element.Write(out, quoteNames, depth + 1);
			separator = ",";
		}
		out += ']';
		break;
	}
	case Object:
	{
		CheckDepth(depth + 1);
		out += '{';
		const char* separator = "";
		for (const auto& member : m_object)
		{
			out += separator;
			if (quoteNames)
				out += '"' + Escaped(member.first) + '"';
			else
				out += member.first;
			out += ':';
			member.second.Write(out, quoteNames, depth + 1);
			separator = ",";
		}
		out += '}';
		break;
	}
	default:
		out += "null";
		break;
	}
}

// Writes CR, LF, TAB, FF, BS, the quote and the backslash with their short
// escapes and every other control byte as \u00XX, which any JSON reader
// accepts; bytes of 0x80 and above are written unchanged.
void Json2::Escape(std::string& text) const
{
	static const char hex[] = "0123456789abcdef";
	std::string out;
	out.reserve(text.size());
	for (const char c : text)
	{
		switch (c)
		{
		case '\\': out += "\\\\"; break;
		case '\r': out += "\\r"; break;
		case '\n': out += "\\n"; break;
		case '\t': out += "\\t"; break;
		case '\f': out += "\\f"; break;
		case '\b': out += "\\b"; break;
		case '"': out += "\\\""; break;
		default:
			if (static_cast<unsigned char>(c) < 0x20)
			{
				out += "\\u00";
				out += hex[(c >> 4) & 0x0F];
				out += hex[c & 0x0F];
			}
			else
			{
				out += c;
			}
		}
	}
	text.swap(out);
}

std::string Json2::Escaped(const std::string& text) const
{
	std::string copy(text);
	Escape(copy);
	return copy;
}

// One pass from the left, so that an escaped backslash is never read again
// as the start of another escape. "\uXXXX" is read as JSON reads it: the
// character in UTF-8, a surrogate pair as the one character it makes, a
// lone surrogate as U+FFFD. Other escapes (such as "\/") and a "\u" without
// four hexadecimal digits stay as they are.
void Json2::Unescape(std::string& text) const
{
	std::string out;
	out.reserve(text.size());
	for (size_t i = 0; i < text.size(); ++i)
	{
		if (text[i] != '\\' || i + 1 == text.size())
		{
			out += text[i];
			continue;
		}
		char decoded = 0;
		switch (text[i + 1])
		{
		case '"': decoded = '"'; break;
		case '\\': decoded = '\\'; break;
		case 'r': decoded = '\r'; break;
		case 'n': decoded = '\n'; break;
		case 't': decoded = '\t'; break;
		case 'f': decoded = '\f'; break;
		case 'b': decoded = '\b'; break;
		}
		if (decoded != 0)
		{
			out += decoded;
			++i;
			continue;
		}
		long unit = HexUnit(text, i + 2);
		if (text[i + 1] != 'u' || unit < 0)
		{
			out += '\\';
			continue;
		}
		i += 5;
		long low = -1;
		if (unit >= 0xD800 && unit <= 0xDBFF && text.compare(i + 1, 2, "\\u") == 0)
			low = HexUnit(text, i + 3);
		if (low >= 0xDC00 && low <= 0xDFFF)
		{
			unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
			i += 6;
		}
		else if (unit >= 0xD800 && unit <= 0xDFFF)
			unit = 0xFFFD;
		AppendUtf8(out, static_cast<char32_t>(unit));
	}
	text.swap(out);
}
