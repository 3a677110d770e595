#include "platform/env.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// getenv() is not safe against a concurrent setenv(); both of ours go through
// this lock, so the agent's own readers and writers never race.
std::mutex& EnvLock()
{
	static std::mutex lock;
	return lock;
}

}

int getenv_s(std::size_t* requiredSize, char* buffer, std::size_t bufferSize, const char* name)
{
	if (requiredSize == nullptr || name == nullptr || (buffer == nullptr && bufferSize > 0))
		return EINVAL;
	if (bufferSize > 0)
		buffer[0] = '\0';
	std::lock_guard<std::mutex> guard(EnvLock());
	const char* value = std::getenv(name);
	if (value == nullptr)
	{
		*requiredSize = 0;
		return 0;
	}
	const std::size_t needed = std::strlen(value) + 1;
	*requiredSize = needed;
	if (buffer == nullptr)
		return 0; // a size query
	if (needed > bufferSize)
		return ERANGE;
	std::memcpy(buffer, value, needed);
	return 0;
}

int _putenv(const char* assignment)
{
	const char* equals = assignment ? std::strchr(assignment, '=') : nullptr;
	if (equals == nullptr || equals == assignment)
	{
		errno = EINVAL;
		return -1;
	}
	const std::string name(assignment, equals);
	const char* value = equals + 1;
	std::lock_guard<std::mutex> guard(EnvLock());
	const int rc = *value == '\0' ? unsetenv(name.c_str()) : setenv(name.c_str(), value, 1);
	return rc == 0 ? 0 : -1;
}
