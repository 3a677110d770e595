#pragma once

// Text conversions in place of the Windows code-page calls. On this platform
// the ANSI code page is UTF-8: code page 0 (CP_ACP) and CP_UTF8 are the same,
// and so are iconv's code set "CHAR" and "UTF-8".

#include "platform/wintypes.h"

#include <iconv.h>

#include <cstddef>
#include <string>

constexpr unsigned CP_ACP = 0;
constexpr unsigned CP_UTF8 = 65001;

// MultiByteToWideChar: UTF-8 to UTF-16 for code pages 0 and 65001 (other
// code pages fail). A length of -1 converts up to and including the
// terminating NUL. A capacity of 0 returns the units needed; a capacity too
// small returns 0. Malformed input becomes U+FFFD; flags are not used.
int MultiByteToWideChar(unsigned codePage, DWORD flags, const char* text, int length,
	char16_t* wide, int capacity);
// WideCharToMultiByte: UTF-16 to UTF-8, with the same conventions. A lone
// surrogate becomes U+FFFD; *usedDefault, when given, is set to FALSE.
int WideCharToMultiByte(unsigned codePage, DWORD flags, const char16_t* wide, int length,
	char* text, int capacity, const char* defaultChar, BOOL* usedDefault);

// iconv_open with the program's code-set names: "CHAR", the local code set
// on Windows, means UTF-8 here whatever its letter case (glibc rejects it).
iconv_t OpenIconv(const std::string& to, const std::string& from);

// mblen in the program's locale. The program never sets a locale, and in the
// ANSI code page every byte counts as one character here: 1 for any byte,
// 0 for NUL, -1 when no byte is left; a null text resets (no state) to 0.
int AnsiCharLength(const char* text, size_t left);

// Decodes the UTF-8 sequence at the start of text (left > 0 bytes). Returns
// the bytes it takes, or 0 when the lead byte announces more bytes than are
// left. Overlong forms, surrogates, values above U+10FFFF, stray or missing
// continuation bytes give U+FFFD; such a sequence takes its lead byte and
// the continuation bytes that follow it, never a byte that starts another.
size_t DecodeUtf8(const unsigned char* text, size_t left, char32_t& codePoint);
// Appends a code point (at most U+10FFFF) as one to four UTF-8 bytes.
void AppendUtf8(std::string& out, char32_t codePoint);
// Appends a code point as one UTF-16 unit or a surrogate pair.
void AppendUtf16(std::u16string& out, char32_t codePoint);

// UTF-16 (up to its NUL) to UTF-8; a lone surrogate becomes U+FFFD.
std::string WideToUtf8(const char16_t* wide);
