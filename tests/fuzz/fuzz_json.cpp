// Json2's parser on any text a page can send, and its writer on whatever the
// parser accepts: the written text must read back as the same value, so that
// parse -> write -> parse -> write gives the first written text again.

#include "base/Exception.h"
#include "base/Json2.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	const std::string text(reinterpret_cast<const char*>(data), size);
	std::string written;
	try
	{
		const Json2 value = Json2::Parse(text);
		written = value.ToString(true);
		value.ToString(false);
	}
	catch (const Exception&)
	{
		return 0; // refused: the one way the parser may fail
	}
	std::string again;
	try
	{
		again = Json2::Parse(written).ToString(true);
	}
	catch (const Exception& e)
	{
		std::fprintf(stderr, "the writer's text does not parse: %s\n  text: %s\n", e.Message().c_str(), written.c_str());
		std::abort();
	}
	if (again != written)
	{
		std::fprintf(stderr, "round trip changed the text\n  first:  %s\n  second: %s\n", written.c_str(), again.c_str());
		std::abort();
	}
	return 0;
}
