#include "platform/path.h"

#include <algorithm>

std::string HostPath(const std::string& programPath)
{
	std::string host(programPath);
	std::replace(host.begin(), host.end(), '\\', '/');
	return host;
}
