// The text conversions a page's bytes pass through: UTF-8 to ISO-8859-1 for
// polling bodies, ISO-8859-1 to UTF-8 for replies, the character count, and
// UTF-8 to UTF-16 for the paths of an import. glibc's iconv, called here
// directly, is the independent oracle for the UTF-16 decoder.

#include "FuzzSupport.h"

#include "base/Encoding.h"

#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The UTF-16 text of valid UTF-8 by iconv, or false when iconv refuses it.
bool IconvUtf16(const std::string& utf8, std::u16string& out)
{
	iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
	if (cd == reinterpret_cast<iconv_t>(-1))
		FuzzFail("iconv_open UTF-8 -> UTF-16LE");
	std::string in(utf8);
	std::vector<char> buffer(in.size() * 4 + 4);
	char* inPtr = &in[0];
	size_t inLeft = in.size();
	char* outPtr = buffer.data();
	size_t outLeft = buffer.size();
	const bool ok = in.empty() || iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1);
	iconv_close(cd);
	if (!ok)
		return false;
	const size_t bytes = buffer.size() - outLeft;
	out.resize(bytes / 2);
	for (size_t i = 0; i < out.size(); ++i)
		out[i] = static_cast<char16_t>(static_cast<unsigned char>(buffer[2 * i])
			| (static_cast<unsigned char>(buffer[2 * i + 1]) << 8));
	return true;
}

void CheckUtf16(const std::string& input, int capacity)
{
	std::vector<char16_t> out(static_cast<size_t>(capacity) + 8, 0xBEEF);
	const int units = Utf8ToUtf16(out.data(), capacity, reinterpret_cast<const unsigned char*>(input.data()),
		static_cast<int>(input.size()));
	if (units < 0 || units >= capacity || out[static_cast<size_t>(units)] != 0)
		FuzzFail("Utf8ToUtf16: count out of bounds or no terminating 0");
	for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i)
		if (out[i] != 0xBEEF)
			FuzzFail("Utf8ToUtf16 wrote past its capacity");

	// Well-formed UTF-16, and no ASCII character that the input did not
	// spell as that very byte (an overlong "\" or "/" must not appear).
	unsigned inputCount[128] = {};
	for (unsigned char c : input)
		if (c < 128)
			++inputCount[c];
	unsigned outputCount[128] = {};
	for (int i = 0; i < units; ++i)
	{
		const char16_t u = out[static_cast<size_t>(i)];
		if (u < 128 && ++outputCount[u] > inputCount[u])
			FuzzFail("Utf8ToUtf16 produced an ASCII character the input did not hold");
		if (u >= 0xD800 && u <= 0xDBFF)
		{
			if (i + 1 >= units || out[static_cast<size_t>(i) + 1] < 0xDC00 || out[static_cast<size_t>(i) + 1] > 0xDFFF)
				FuzzFail("Utf8ToUtf16 produced a lone high surrogate");
			++i;
		}
		else if (u >= 0xDC00 && u <= 0xDFFF)
		{
			FuzzFail("Utf8ToUtf16 produced a lone low surrogate");
		}
	}

	// Where iconv reads the whole input, both must agree on every unit that fit.
	std::u16string expected;
	if (IconvUtf16(input, expected))
	{
		const size_t room = static_cast<size_t>(capacity) - 1;
		if (expected.size() <= room && static_cast<size_t>(units) != expected.size())
			FuzzFail("Utf8ToUtf16 and iconv disagree on the length of valid UTF-8");
		if (expected.compare(0, static_cast<size_t>(units), out.data(), static_cast<size_t>(units)) != 0)
			FuzzFail("Utf8ToUtf16 and iconv disagree on valid UTF-8");
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	// Two leading bytes: the conversion, and the UTF-16 buffer's capacity.
	if (size < 2)
		return 0;
	const int mode = data[0] % 4;
	const int capacity = 1 + data[1];
	const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

	switch (mode)
	{
	case 0:
	{
		// A polling body: UTF-8 to one byte per character.
		std::string text(input);
		const int count = ConvertEncodingInPlace("UTF-8", "ISO-8859-1", text, true);
		if (count != 0 && count != static_cast<int>(input.size()))
			FuzzFail("UTF-8 -> ISO-8859-1: byte count is neither the input's length nor 0");
		if (count == 0 && !text.empty())
			FuzzFail("UTF-8 -> ISO-8859-1: a failed conversion left text behind");
		if (text.size() > input.size())
			FuzzFail("UTF-8 -> ISO-8859-1 grew the text");
		break;
	}
	case 1:
	{
		// A reply: every ISO-8859-1 text converts to UTF-8 and back unchanged.
		std::string text(input);
		ConvertEncodingInPlace("ISO-8859-1", "UTF-8", text, true);
		if (!input.empty() && text.size() < input.size())
			FuzzFail("ISO-8859-1 -> UTF-8 lost bytes");
		ConvertEncodingInPlace("UTF-8", "ISO-8859-1", text, true);
		if (text != input)
			FuzzFail("ISO-8859-1 -> UTF-8 -> ISO-8859-1 changed the text");
		break;
	}
	case 2:
	{
		char* out = nullptr;
		const int produced = ConvertEncodingToBuffer(input.data(), static_cast<int>(input.size()), "utf-8", "utf-16le", &out);
		if (produced > 0)
		{
			if (out == nullptr || out[produced] != 0)
				FuzzFail("ConvertEncodingToBuffer: no buffer or no terminating NUL");
			std::free(out);
		}
		try
		{
			strlen_mb(input);
		}
		catch (const std::runtime_error&)
		{
		}
		break;
	}
	default:
		CheckUtf16(input, capacity);
		break;
	}
	return 0;
}
