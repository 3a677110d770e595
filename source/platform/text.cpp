#include "platform/text.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace
{

bool IsUtf8CodePage(unsigned codePage)
{
	return codePage == CP_ACP || codePage == CP_UTF8;
}

bool IsContinuation(unsigned char byte)
{
	return (byte & 0xC0) == 0x80;
}

std::string EncodeUtf8(const char16_t* wide, size_t length)
{
	std::string out;
	out.reserve(length);
	for (size_t i = 0; i < length; ++i)
	{
		char32_t cp = wide[i];
		if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
			cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[++i] - 0xDC00);
		else if (cp >= 0xD800 && cp <= 0xDFFF)
			cp = 0xFFFD;
		AppendUtf8(out, cp);
	}
	return out;
}

// Copies the result out the Windows way: capacity 0 asks for the size, and a
// buffer too small fails with 0.
template <typename Unit, typename Text>
int Deliver(const Text& result, Unit* out, int capacity)
{
	if (capacity == 0)
		return static_cast<int>(result.size());
	if (out == nullptr || result.size() > static_cast<size_t>(capacity))
		return 0;
	std::copy(result.begin(), result.end(), out);
	return static_cast<int>(result.size());
}

} // namespace

size_t DecodeUtf8(const unsigned char* text, size_t left, char32_t& codePoint)
{
	const unsigned char lead = text[0];
	const size_t trail = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
	if (trail >= left)
		return 0;
	codePoint = 0xFFFD;
	if (IsContinuation(lead))
		return 1;
	char32_t value = trail == 0 ? lead : lead & (0x3F >> trail);
	size_t used = 1;
	while (used <= trail && IsContinuation(text[used]))
		value = (value << 6) | (text[used++] & 0x3F);
	static const char32_t shortest[] = { 0, 0x80, 0x800, 0x10000 };
	if (used <= trail || trail > 3 || value < shortest[trail] || value > 0x10FFFF
		|| (value >= 0xD800 && value <= 0xDFFF))
		return used;
	codePoint = value;
	return used;
}

void AppendUtf8(std::string& out, char32_t codePoint)
{
	if (codePoint < 0x80)
	{
		out += static_cast<char>(codePoint);
		return;
	}
	const int extra = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
	static const unsigned char leads[] = { 0, 0xC0, 0xE0, 0xF0 };
	out += static_cast<char>(leads[extra] | (codePoint >> (6 * extra)));
	for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6)
		out += static_cast<char>(0x80 | ((codePoint >> shift) & 0x3F));
}

void AppendUtf16(std::u16string& out, char32_t codePoint)
{
	if (codePoint < 0x10000)
	{
		out += static_cast<char16_t>(codePoint);
		return;
	}
	codePoint -= 0x10000;
	out += static_cast<char16_t>(0xD800 + (codePoint >> 10));
	out += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
}

std::string WideToUtf8(const char16_t* wide)
{
	return EncodeUtf8(wide, std::char_traits<char16_t>::length(wide));
}

int MultiByteToWideChar(unsigned codePage, DWORD, const char* text, int length,
	char16_t* wide, int capacity)
{
	if (!IsUtf8CodePage(codePage) || text == nullptr || length == 0 || length < -1 || capacity < 0)
		return 0;
	const auto* in = reinterpret_cast<const unsigned char*>(text);
	size_t left = length == -1 ? std::strlen(text) + 1 : static_cast<size_t>(length);
	std::u16string result;
	while (left > 0)
	{
		char32_t cp;
		size_t used = DecodeUtf8(in, left, cp);
		if (used == 0)
		{
			// A sequence cut short by the end of the input.
			cp = 0xFFFD;
			for (used = 1; used < left && IsContinuation(in[used]); ++used)
			{
			}
		}
		AppendUtf16(result, cp);
		in += used;
		left -= used;
	}
	return Deliver(result, wide, capacity);
}

int WideCharToMultiByte(unsigned codePage, DWORD, const char16_t* wide, int length,
	char* text, int capacity, const char*, BOOL* usedDefault)
{
	if (usedDefault != nullptr)
		*usedDefault = FALSE;
	if (!IsUtf8CodePage(codePage) || wide == nullptr || length == 0 || length < -1 || capacity < 0)
		return 0;
	const size_t units = length == -1 ? std::char_traits<char16_t>::length(wide) + 1 : static_cast<size_t>(length);
	return Deliver(EncodeUtf8(wide, units), text, capacity);
}

iconv_t OpenIconv(const std::string& to, const std::string& from)
{
	const auto hostName = [](const std::string& name) {
		return strcasecmp(name.c_str(), "CHAR") == 0 ? std::string("UTF-8") : name;
	};
	return iconv_open(hostName(to).c_str(), hostName(from).c_str());
}

int AnsiCharLength(const char* text, size_t left)
{
	if (text == nullptr)
		return 0;
	if (left == 0)
		return -1;
	return *text == '\0' ? 0 : 1;
}
