#pragma once

#include <string>

// Path and text helpers of the certificate store and the agent. Paths are
// UTF-8 with "\" or "/" separators.

// The text before the last separator, a trailing separator left aside; the
// whole text when there is no (other) separator.
std::string ParentFolder(const std::string& path);
// True when the path names an existing regular file that opens for reading.
bool FileExists(std::string path);
// Creates every folder of the path. 1 when the whole path is a folder at the
// end, 0 on failure (the failing prefix is printed), -1 out of memory.
int MakeDirs(const char* path);
int MakeDirsWide(const char16_t* path);
// Every occurrence of find replaced, left to right; an empty find changes
// nothing.
std::string ReplaceAll(std::string text, const std::string& find, const std::string& replacement);
