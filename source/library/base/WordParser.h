#pragma once

#include <cstdint>
#include <string>

// Takes one line of text apart word by word, left to right. Words are
// separated by blanks (space, TAB, CR, LF) and by the optional split
// characters; the end of the text and a NUL byte also end a word.
class WordParser
{
public:
	explicit WordParser(const std::string& text);
	WordParser(const std::string& text, const std::string& splitChars);

	bool IsSplitChar(char c) const;
	std::string NextWord();
	void NextWord(std::string& word);
	// What is left after leading spaces, TABs and split characters (a trailing
	// CR or LF is kept); the position stays at the start of it.
	std::string RestOfText();
	long NextLong();

private:
	char At(std::uint32_t position) const;
	bool IsSeparator(char c) const;

	std::string m_text;
	std::string m_splitChars;
	std::string m_word;
	std::uint32_t m_position;
};
