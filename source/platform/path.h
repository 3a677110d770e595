#pragma once

#include <string>

// The program builds its paths in Windows form, with "\" separators. This is
// the one place where such a path becomes a path of the host: every call of
// the platform layer that touches the file system passes its path through
// here, so that the mapping can grow (drive letters) without touching them.
std::string HostPath(const std::string& programPath);
