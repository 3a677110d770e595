#pragma once

#include <cstddef>
#include <string>

// Base64 with the standard alphabet and "=" padding (RFC 4648), as the
// WebSocket handshake and the session ids need it.
class Base64
{
public:
	// Replaces out with the Base64 text of the data; with lineBreaks, a LF
	// goes before each group that starts past a multiple of 76 characters.
	static void Encode(const char* data, size_t size, std::string& out, bool lineBreaks);
};
