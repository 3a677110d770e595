#pragma once

// The runtime library's 64-bit time conversion.

#include <cstdint>
#include <ctime>

// The fields as local time (tm_isdst taken as given: 0 is standard time), in
// seconds since 1970-01-01 UTC; the fields are normalised as mktime does.
// -1 outside 1970-01-01 00:00:00 ... 3000-12-31 23:59:59 UTC, as on Windows.
std::int64_t _mktime64(struct tm* fields);
