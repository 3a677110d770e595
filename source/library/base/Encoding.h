#pragma once

#include <string>

// Text encodings of the agent: code-set conversion through iconv, the
// character count of multibyte text and the UTF-8 decoder for wide paths.
// Code-set names are iconv's; "CHAR" is the local code set (UTF-8 here).

// Converts length bytes into a new malloc'ed buffer at *out (the bytes and
// one NUL), which the caller frees. Returns the bytes produced, or -1 (with
// a message on standard output). An empty conversion stores nothing and
// returns 0.
int ConvertEncodingToBuffer(const char* input, int length, std::string from, std::string to, char** out);
// Replaces text by its conversion, one conversion at a time process-wide.
// -1 when the code sets are not supported (text unchanged). Otherwise, with
// byteCount, the length the text had (0 when the conversion failed and the
// text was emptied), else the character count of the new text.
int ConvertEncodingInPlace(std::string from, std::string to, std::string& text, bool byteCount);
// The number of characters of the text in the program's locale, which
// counts bytes; throws std::runtime_error "strlen_mb(): conversion error".
int strlen_mb(const std::string& text);
// Decodes UTF-8 (length bytes, or up to the first NUL with -1) into at most
// capacity - 1 UTF-16 units and a terminating 0; returns the units written.
// Characters above U+FFFF become surrogate pairs; malformed, overlong,
// surrogate and out-of-range sequences become U+FFFD, so that no other
// spelling of a character ("\" above all) can reach a file name. A
// sequence cut short by the end of the input ends the output.
int Utf8ToUtf16(char16_t* out, int capacity, const unsigned char* input, int length);
// A UTF-8 path in the UTF-16 form of the file-system calls, converted as
// MultiByteToWideChar converts it, so that every call names the same file:
// also a sequence cut off at the end becomes U+FFFD (Utf8ToUtf16 would stop
// before it, and "signCert.der\xE2" would name signCert.der). False for a
// text holding a NUL, which would cut the name short.
bool Utf8PathToUtf16(const std::string& path, std::u16string& wide);
