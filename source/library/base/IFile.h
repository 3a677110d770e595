#pragma once

#include <cstddef>
#include <string>

// A byte stream the way the agent uses files: the polling transport keeps
// request bodies behind it.
class IFile
{
public:
	virtual ~IFile() = default;

	virtual bool Open(const std::string& path, const std::string& mode) = 0;
	virtual void Close() = 0;
	// Both return the bytes copied (size times count at most).
	virtual size_t Read(char* buffer, size_t size, size_t count) = 0;
	virtual size_t Write(const char* buffer, size_t size, size_t count) = 0;
	// One line without its LF, at most capacity - 1 bytes, NUL-terminated.
	virtual char* ReadLine(char* buffer, size_t capacity) = 0;
	__attribute__((format(printf, 2, 3))) virtual void Printf(const char* format, ...) = 0;
	virtual long Size() = 0;
	virtual bool Eof() = 0;
	virtual void RewindRead() = 0;
	virtual void RewindWrite() = 0;
	virtual std::string& Path() = 0;
};
