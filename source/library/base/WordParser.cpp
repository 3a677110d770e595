#include "base/WordParser.h"

#include <cstdlib>

WordParser::WordParser(const std::string& text)
	: m_text(text)
	, m_position(0)
{
}

WordParser::WordParser(const std::string& text, const std::string& splitChars)
	: m_text(text)
	, m_splitChars(splitChars)
	, m_position(0)
{
}

bool WordParser::IsSplitChar(char c) const
{
	return m_splitChars.find(c) != std::string::npos;
}

char WordParser::At(std::uint32_t position) const
{
	return position < m_text.size() ? m_text[position] : '\0';
}

bool WordParser::IsSeparator(char c) const
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n' || IsSplitChar(c);
}

std::string WordParser::NextWord()
{
	while (At(m_position) != '\0' && IsSeparator(At(m_position)))
		++m_position;
	const std::uint32_t start = m_position;
	while (At(m_position) != '\0' && !IsSeparator(At(m_position)))
		++m_position;
	// Consume the byte that ended the word too: the separator, or one past the end.
	++m_position;
	if (start < m_text.size())
		m_word = m_text.substr(start, m_position - start - 1);
	else
		m_word.clear();
	return m_word;
}

void WordParser::NextWord(std::string& word)
{
	word = NextWord();
}

std::string WordParser::RestOfText()
{
	for (char c = At(m_position); c != '\0' && (c == ' ' || c == '\t' || IsSplitChar(c)); c = At(m_position))
		++m_position;
	if (m_position >= m_text.size())
		return std::string();
	return m_text.substr(m_position);
}

long WordParser::NextLong()
{
	NextWord();
	return std::atol(m_word.c_str());
}
