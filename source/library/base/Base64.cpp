#include "base/Base64.h"

void Base64::Encode(const char* data, size_t size, std::string& out, bool lineBreaks)
{
	static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	const auto* in = reinterpret_cast<const unsigned char*>(data);
	out.clear();
	out.reserve((size + 2) / 3 * 4);
	size_t written = 0;
	for (size_t i = 0; i < size; i += 3)
	{
		if (lineBreaks && written != 0 && written % 76 == 0)
			out += '\n';
		const size_t left = size - i;
		const unsigned group = (in[i] << 16) | (left > 1 ? in[i + 1] << 8 : 0) | (left > 2 ? in[i + 2] : 0);
		out += alphabet[(group >> 18) & 0x3F];
		out += alphabet[(group >> 12) & 0x3F];
		out += left > 1 ? alphabet[(group >> 6) & 0x3F] : '=';
		out += left > 2 ? alphabet[group & 0x3F] : '=';
		written += 4;
	}
}
