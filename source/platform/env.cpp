#include "platform/env.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
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

// The home folder in Windows form without its drive ("/home/u" is
// "\home\u"); with C: at the host root, C: followed by it is the home.
std::string HomeWithoutDrive()
{
	std::string home;
	if (const char* value = std::getenv("HOME"))
		home = value;
	if (home.empty())
	{
		struct passwd entry;
		struct passwd* found = nullptr;
		char buffer[4096];
		if (getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
			home = found->pw_dir;
	}
	if (home.empty() || home[0] != '/')
		return std::string();
	std::replace(home.begin(), home.end(), '/', '\\');
	return home;
}

// Windows always defines these; here they are given when the host does not
// define them. Called with the lock held.
bool DefaultValue(const char* name, std::string& value)
{
	if (std::strcmp(name, "HOMEDRIVE") == 0)
		value = "C:";
	else if (std::strcmp(name, "HOMEPATH") == 0)
		value = HomeWithoutDrive();
	else if (std::strcmp(name, "ProgramFiles") == 0)
	{
		const std::string home = HomeWithoutDrive();
		value = home.empty() ? home : "C:" + home;
	}
	return !value.empty();
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
	std::string fallback;
	if (value == nullptr && DefaultValue(name, fallback))
		value = fallback.c_str();
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
