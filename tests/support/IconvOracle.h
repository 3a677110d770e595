#pragma once

// glibc's iconv as the reference for our own UTF-8 and UTF-16 code, and a
// maker of random valid text to feed both.

#include <iconv.h>

#include <random>
#include <string>

inline std::string IconvConvert(std::string input, const char* from, const char* to)
{
	iconv_t cd = iconv_open(to, from);
	std::string output(input.size() * 4 + 4, '\0');
	char* in = &input[0];
	char* out = &output[0];
	size_t inLeft = input.size(), outLeft = output.size();
	const bool ok = iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1);
	iconv_close(cd);
	output.resize(ok ? output.size() - outLeft : 0);
	return output;
}

inline std::u16string Utf8ToUtf16ByIconv(const std::string& utf8)
{
	const std::string bytes = IconvConvert(utf8, "UTF-8", "UTF-16LE");
	std::u16string units;
	for (size_t i = 0; i + 1 < bytes.size(); i += 2)
		units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
	return units;
}

// Random UTF-8 text drawn from every length class of UTF-8, without NUL.
inline std::string RandomUtf8(std::mt19937& random, size_t characters)
{
	static const char32_t ranges[][2] = { { 1, 0x7F }, { 0x80, 0x7FF }, { 0x800, 0xD7FF }, { 0xE000, 0xFFFF }, { 0x10000, 0x10FFFF } };
	std::string utf32;
	for (size_t i = 0; i < characters; ++i)
	{
		const auto& range = ranges[random() % 5];
		const char32_t cp = range[0] + random() % (range[1] - range[0] + 1);
		utf32.append(reinterpret_cast<const char*>(&cp), 4);
	}
	return IconvConvert(utf32, "UTF-32LE", "UTF-8");
}
