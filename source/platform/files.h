#pragma once

// The Windows C runtime's file and folder calls the program uses, over the
// POSIX ones. Paths are program paths (see platform/path.h); wide paths are
// UTF-16 and narrow ones UTF-8, the ANSI code page here.

#include "platform/wintypes.h"

#include <cstdio>

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Opens only regular files: glibc's fopen opens a folder for reading and
// Windows does not (a folder or device fails with EACCES). Modes "r", "w",
// "a", with "+" and "b" as usual, and "x" with "w" to fail with EEXIST when
// the file is already there; a new file gets mode 0600.
FILE* _wfopen(const char16_t* path, const char16_t* mode);

// 0 when the folder was made (mode 0700); otherwise -1 with errno EEXIST when something
// of that name exists, ENOENT when a parent is missing or is not a folder
// (Linux's ENOTDIR), or the system's reason (EACCES, EROFS, ...).
int _mkdir(const char* path);
int _wmkdir(const char16_t* path);

// FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_NORMAL for anything
// else that exists, INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD GetFileAttributesA(const char* path);
DWORD GetFileAttributesW(const char16_t* path);

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;

// Renames a file. With MOVEFILE_REPLACE_EXISTING a file of the new name is
// replaced in one step; without it that file makes the call fail (EEXIST).
// FALSE on failure, with errno set.
BOOL MoveFileExW(const char16_t* existing, const char16_t* newName, DWORD flags);

// Deletes a file (never a folder). FALSE on failure, with errno set.
BOOL DeleteFileW(const char16_t* path);
