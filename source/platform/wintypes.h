#pragma once

// The handful of Windows types and constants the program is written against.
// Text passed to the "wide" calls is UTF-16 in char16_t: wchar_t is 32 bits
// on this platform, so it is never used for UTF-16.

#include <cstdint>
#include <string>

using HANDLE = void*;
using DWORD = std::uint32_t;
using BOOL = int;
using WCHAR = char16_t;
using wstring16 = std::u16string;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
