#pragma once

#include <list>
#include <map>
#include <string>

// The one JSON value of the agent: the page's messages, the replies, the
// polling handshake and the certificate records all pass through it.
//
// The parser is deliberately lenient (commas optional and repeatable, no
// exponents, only the first value read) because the page's texts have always
// been read that way. The writer emits no white space and writes object
// members in byte order of their names.
class Json2
{
public:
	enum ValueType
	{
		Null = 1,
		Integer = 2,
		Double = 3,
		String = 4,
		Boolean = 5,
		Array = 6,
		Object = 7,
	};

	// Deeper nesting is refused by the parser and the writer, so that a
	// page cannot overflow the stack with a text of many "[".
	static constexpr int MaxDepth = 512;

	Json2();
	Json2(long value);
	Json2(int value);
	Json2(const char* value);
	Json2(const std::string& value);
	Json2(bool value);
	Json2(ValueType type);
	Json2(const Json2&) = default;
	Json2(Json2&&) = default;
	Json2& operator=(const Json2&) = default;
	Json2& operator=(Json2&&) = default;
	virtual ~Json2();

	ValueType Type() const;
	long GetInteger() const;
	std::string GetString() const;
	std::string& StringRef();

	bool HasKey(const std::string& name) const;
	Json2& operator[](const char* name);
	Json2& operator[](const std::string& name);
	void Add(Json2 value);
	std::list<Json2>& GetArray();

	static Json2 Parse(const std::string& text);
	std::string ToString(bool quoteNames) const;

	void Escape(std::string& text) const;
	std::string Escaped(const std::string& text) const;
	void Unescape(std::string& text) const;

	// The lexer: reads one token at index and advances past it. Value
	// tokens give minus their type code, punctuation the byte itself, the
	// end of the text 0.
	virtual int ReadToken(const char* text, unsigned& index, std::string& token);
	// Fills this value from the text; 0 after a complete value, or the
	// punctuation byte "]", "}", "," or ":" found where a value may stand.
	char Decode(const char* text, unsigned& index);

private:
	char Decode(const char* text, unsigned& index, int depth);
	char DecodeArray(const char* text, unsigned& index, int depth);
	char DecodeObject(const char* text, unsigned& index, int depth);
	void Write(std::string& out, bool quoteNames, int depth) const;
	void DetachChildren(std::list<Json2>& pending);

	ValueType m_type;
	long m_integer;
	double m_double;
	std::string m_string;
	bool m_boolean;
	std::list<Json2> m_array;
	std::map<std::string, Json2> m_object;
};
