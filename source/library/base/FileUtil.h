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

// Letter case of ASCII only, whatever the locale: A-Z fold to a-z and every
// other byte stays itself (a locale's folding may take a byte of a UTF-8
// name for a letter).
char LowerAscii(char c);
// Equal texts once ASCII letters are folded; NUL bytes compare as any byte.
bool EqualsNoCaseAscii(const std::string& a, const std::string& b);

// True when the text holds a NUL: passed on as C text it would end there, and
// a path would name another file, a password open a key by its start alone.
bool HoldsNul(const std::string& text);

// True for a name that may stand as one folder of a path: not empty, not "."
// or "..", and free of "\", "/", ":" (a drive or stream), NUL and the other
// control bytes.
bool IsSafeFolderName(const std::string& name);

// True when the path is a drive path, "X:\" and what follows, on a drive of
// this machine (letter in any case; see platform/path.h for the table). A
// path from the page names a file only then: a host path, a relative one or
// one on the current drive ("\x") would reach past the drive table.
bool IsExistingDrivePath(const std::string& path);

// True when what the path names, once every link is resolved, lies within
// the folder `folder` names (platform/path.h: ResolvesWithin), both paths
// converted as the file calls convert them.
bool StaysWithin(const std::string& path, const std::string& folder);

// True when the path is a drive path on an existing drive and stays within
// that drive's folder. A path from the page names a file only then: a link
// on a drive (a stick, a home folder) may lead anywhere.
bool StaysOnItsDrive(const std::string& path);
