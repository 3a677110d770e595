#pragma once

// The two questions the agent asks Windows about itself at start-up.

#include "platform/wintypes.h"

constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// The extended version record (the fields the program reads and their kin).
struct OSVERSIONINFOEXW
{
	DWORD dwOSVersionInfoSize;
	DWORD dwMajorVersion;
	DWORD dwMinorVersion;
	DWORD dwBuildNumber;
	DWORD dwPlatformId;
	char16_t szCSDVersion[128];
	std::uint16_t wServicePackMajor;
	std::uint16_t wServicePackMinor;
	std::uint16_t wSuiteMask;
	std::uint8_t wProductType;
	std::uint8_t wReserved;
};

// This platform answers as Windows NT 10.0. FALSE when the record's size
// field is not that of the record.
BOOL GetVersionExW(OSVERSIONINFOEXW* info);

// The running executable's path (/proc/self/exe) as UTF-16 with its NUL.
// Only the program's own module (null) is known. Returns the units written
// without the NUL; a path that does not fit is cut to size - 1 units and the
// result is size, as on Windows; 0 on failure.
DWORD GetModuleFileNameW(void* module, char16_t* buffer, DWORD size);
