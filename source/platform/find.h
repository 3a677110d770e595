#pragma once

// The Win32 folder search, over opendir/readdir.

#include "platform/files.h"
#include "platform/wintypes.h"

constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr int MAX_PATH = 260;
extern const HANDLE INVALID_HANDLE_VALUE;

struct WIN32_FIND_DATAW
{
	DWORD dwFileAttributes;
	char16_t cFileName[MAX_PATH];
};

// Searches "folder\pattern" (the pattern is the last part; "*" and "?" are
// wildcards, letter case is ignored). The entries come sorted without regard
// to letter case, as NTFS returns them, "." and ".." included. A folder has
// FILE_ATTRIBUTE_DIRECTORY; a symbolic link has FILE_ATTRIBUTE_REPARSE_POINT
// only, so that a walk never follows it (no loops). A missing folder, or no
// match, gives INVALID_HANDLE_VALUE with errno ENOENT.
HANDLE FindFirstFileW(const char16_t* pattern, WIN32_FIND_DATAW* data);
// FALSE (errno ENOENT) when no entry is left.
BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE search);
