#include "platform/crttime.h"

std::int64_t _mktime64(struct tm* fields)
{
	// 3000-12-31 23:59:59 UTC, the last second Windows converts.
	constexpr std::int64_t kLatest = 32535215999LL;
	if (fields == nullptr)
		return -1;
	const std::int64_t seconds = static_cast<std::int64_t>(mktime(fields));
	return seconds < 0 || seconds > kLatest ? -1 : seconds;
}
