#pragma once

#include <string>

// Orders text keys (HTTP header names) without regard to the case of ASCII
// letters: A-Z fold to a-z, other bytes compare as they are, and each text
// ends at its first NUL byte.
class NoCaseLess
{
public:
	bool operator()(const std::string& a, const std::string& b) const;
};
