#include "agent/StartUrl.h"

#include "base/FileUtil.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace
{

const char kPlainScheme[] = "zimracert://";
const char kTlsScheme[] = "zimracerts://";
const long kLastPort = 65533;

bool IsKeyChar(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '+'
		|| c == '%';
}

bool ContainsNoCase(const std::string& text, const char* lowerNeedle)
{
	const std::string needle(lowerNeedle);
	for (size_t at = 0; at + needle.size() <= text.size(); ++at)
	{
		size_t i = 0;
		while (i < needle.size() && LowerAscii(text[at + i]) == needle[i])
			++i;
		if (i == needle.size())
			return true;
	}
	return false;
}

// strtol's reading (white space, sign, digits, the rest ignored), refused
// when there is no digit or the number leaves the 32-bit range.
bool ReadPort(const std::string& text, long* port)
{
	const char* begin = text.c_str();
	char* end = nullptr;
	errno = 0;
	const long value = std::strtol(begin, &end, 10);
	if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX)
		return false;
	*port = value;
	return true;
}

} // namespace

std::map<std::string, std::string> ParseQueryString(const std::string& query)
{
	// The pairs of the pattern ([\w+%]+)=([^&]*), searched repeatedly from
	// the end of the last match: a key is the whole run of key characters
	// that ends at "=" (a shorter run would end at another key character).
	std::map<std::string, std::string> pairs;
	size_t at = 0;
	while (at < query.size())
	{
		if (!IsKeyChar(query[at]))
		{
			++at;
			continue;
		}
		size_t keyEnd = at;
		while (keyEnd < query.size() && IsKeyChar(query[keyEnd]))
			++keyEnd;
		if (keyEnd == query.size() || query[keyEnd] != '=')
		{
			at = keyEnd;
			continue;
		}
		size_t valueEnd = query.find('&', keyEnd + 1);
		if (valueEnd == std::string::npos)
			valueEnd = query.size();
		pairs[query.substr(at, keyEnd - at)] = query.substr(keyEnd + 1, valueEnd - keyEnd - 1);
		at = valueEnd;
	}
	return pairs;
}

bool ReadStartUrl(const std::string& commandLine, StartOptions* out)
{
	// Browsers lower-case a URL's scheme before they hand it on.
	if (ContainsNoCase(commandLine, kPlainScheme))
		out->useTls = false;
	else if (ContainsNoCase(commandLine, kTlsScheme))
		out->useTls = true;
	else
		return false;
	const size_t mark = commandLine.find("/?");
	if (mark == std::string::npos || mark + 2 == commandLine.size())
		return false;
	const auto pairs = ParseQueryString(commandLine.substr(mark + 2));
	const auto port = pairs.find("port");
	long number = 0;
	if (port == pairs.end() || !ReadPort(port->second, &number) || number < 1 || number > kLastPort)
		return false;
	out->port = static_cast<int>(number);
	return true;
}
