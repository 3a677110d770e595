#include "platform/files.h"

#include "platform/path.h"
#include "platform/text.h"

#include <sys/stat.h>

#include <cerrno>

namespace
{

int MakeHostDir(const std::string& path)
{
	if (mkdir(HostPath(path).c_str(), 0777) == 0)
		return 0;
	if (errno == ENOTDIR)
		errno = ENOENT;
	return -1;
}

DWORD HostAttributes(const std::string& path)
{
	struct stat info;
	if (stat(HostPath(path).c_str(), &info) != 0)
		return INVALID_FILE_ATTRIBUTES;
	return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

} // namespace

FILE* _wfopen(const char16_t* path, const char16_t* mode)
{
	const std::string host = HostPath(WideToUtf8(path));
	// Checked before opening, so that a FIFO or device never blocks the open.
	struct stat info;
	if (stat(host.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
	{
		errno = EACCES;
		return nullptr;
	}
	return std::fopen(host.c_str(), WideToUtf8(mode).c_str());
}

int _mkdir(const char* path)
{
	return MakeHostDir(path);
}

int _wmkdir(const char16_t* path)
{
	return MakeHostDir(WideToUtf8(path));
}

DWORD GetFileAttributesA(const char* path)
{
	return HostAttributes(path);
}

DWORD GetFileAttributesW(const char16_t* path)
{
	return HostAttributes(WideToUtf8(path));
}
