// The Base64 decoder behind every import: any text must decode without
// harm, and whatever our encoder writes must decode back to the same bytes.

#include "FuzzSupport.h"

#include "PKI/cert_util.h"
#include "base/Base64.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	// The input as Base64 text.
	unsigned char* decoded = nullptr;
	const int length = BioBase64Decode(reinterpret_cast<const char*>(data), static_cast<int>(size), &decoded);
	if (length > 0)
	{
		// Four characters give at most three bytes; the result ends in a NUL.
		if (decoded == nullptr || static_cast<size_t>(length) > size / 4 * 3 + 3 || decoded[length] != 0)
			FuzzFail("decoded length out of bounds or no terminating NUL");
		std::free(decoded);
	}
	else if (decoded != nullptr)
	{
		FuzzFail("a failed decoding handed out a buffer");
	}

	// The input as bytes: encoded on one line, it must decode back unchanged.
	if (size == 0)
		return 0;
	std::string text;
	Base64::Encode(reinterpret_cast<const char*>(data), size, text, false);
	decoded = nullptr;
	const int back = BioBase64Decode(text.data(), static_cast<int>(text.size()), &decoded);
	if (back != static_cast<int>(size) || std::memcmp(decoded, data, size) != 0)
		FuzzFail("Base64 text of our encoder did not decode to the same bytes");
	std::free(decoded);
	return 0;
}
