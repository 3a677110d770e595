#include "platform/module.h"

#include "platform/text.h"

#include <climits>
#include <cstring>
#include <string>
#include <unistd.h>

BOOL GetVersionExW(OSVERSIONINFOEXW* info)
{
	if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))
		return FALSE;
	std::memset(info, 0, sizeof(*info));
	info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
	info->dwMajorVersion = 10;
	info->dwMinorVersion = 0;
	info->dwBuildNumber = 19045;
	info->dwPlatformId = VER_PLATFORM_WIN32_NT;
	info->wProductType = 1; // a workstation
	return TRUE;
}

DWORD GetModuleFileNameW(void* module, char16_t* buffer, DWORD size)
{
	if (module != nullptr || buffer == nullptr || size == 0)
		return 0;
	char path[PATH_MAX + 1];
	const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
	if (length <= 0)
		return 0;
	path[length] = '\0';
	const int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
	if (units <= 0)
		return 0;
	std::u16string wide(static_cast<size_t>(units), u'\0');
	MultiByteToWideChar(CP_UTF8, 0, path, -1, &wide[0], units);
	const DWORD needed = static_cast<DWORD>(units - 1);
	if (needed < size)
	{
		std::memcpy(buffer, wide.c_str(), (needed + 1) * sizeof(char16_t));
		return needed;
	}
	std::memcpy(buffer, wide.c_str(), (size - 1) * sizeof(char16_t));
	buffer[size - 1] = u'\0';
	return size;
}
