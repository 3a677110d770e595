#include "platform/files.h"

#include "platform/path.h"
#include "platform/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace
{

int MakeHostDir(const std::string& path)
{
	// Folders the agent makes hold NPKI keys: only their owner enters them.
	if (mkdir(HostPath(path).c_str(), 0700) == 0)
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
	const std::string text = WideToUtf8(mode);
	const bool update = text.find('+') != std::string::npos;
	int flags = O_CLOEXEC;
	switch (text.empty() ? '\0' : text[0])
	{
	case 'r':
		flags |= update ? O_RDWR : O_RDONLY;
		break;
	case 'w':
		flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
		if (text.find('x') != std::string::npos)
			flags |= O_EXCL;
		break;
	case 'a':
		flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
		break;
	default:
		errno = EINVAL;
		return nullptr;
	}
	// Checked before opening, so that a FIFO or device never blocks the open.
	struct stat info;
	if (stat(host.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
	{
		errno = EACCES;
		return nullptr;
	}
	// New files may be NPKI keys: they are readable by their owner only.
	const int fd = open(host.c_str(), flags, 0600);
	if (fd < 0)
		return nullptr;
	// And again on what was opened, should a folder have taken the name since.
	if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
	{
		close(fd);
		errno = EACCES;
		return nullptr;
	}
	const std::string streamMode = text.substr(0, 1) + (update ? "+" : "");
	FILE* file = fdopen(fd, streamMode.c_str());
	if (file == nullptr)
		close(fd);
	return file;
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

BOOL MoveFileExW(const char16_t* existing, const char16_t* newName, DWORD flags)
{
	const std::string from = HostPath(WideToUtf8(existing));
	const std::string to = HostPath(WideToUtf8(newName));
	if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && access(to.c_str(), F_OK) == 0)
	{
		errno = EEXIST;
		return FALSE;
	}
	return rename(from.c_str(), to.c_str()) == 0 ? TRUE : FALSE;
}

BOOL DeleteFileW(const char16_t* path)
{
	return unlink(HostPath(WideToUtf8(path)).c_str()) == 0 ? TRUE : FALSE;
}
