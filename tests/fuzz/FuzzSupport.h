#pragma once

// What the fuzz targets share: the way they report a broken property, a
// scratch folder, and a clean crypto error queue after each input.

#include <openssl/err.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

// A property that must hold for every input did not: libFuzzer saves the
// input as a crash.
[[noreturn]] inline void FuzzFail(const char* what)
{
	std::fprintf(stderr, "%s\n", what);
	std::abort();
}

// The crypto library's error queue keeps what each failure left; cleared at
// the end of an input so that an input's allocations are its own (the leak
// check compares them).
struct CryptoErrorsCleared
{
	~CryptoErrorsCleared() { ERR_clear_error(); }
};

// A private folder under /tmp for the files a fuzz target writes (imports,
// the crypto library's random-seed file), made before the first input and
// removed at exit. RANDFILE points into it, so nothing lands in $HOME.
class FuzzScratch
{
public:
	static const std::string& Dir()
	{
		static const std::string dir = Make();
		return dir;
	}

private:
	static std::string Make()
	{
		char pattern[] = "/tmp/zc_fuzz_XXXXXX";
		if (mkdtemp(pattern) == nullptr)
		{
			std::perror("mkdtemp");
			std::abort();
		}
		setenv("RANDFILE", (std::string(pattern) + "/seed.rnd").c_str(), 1);
		// Only the process that made it removes it: libFuzzer's -fork and
		// -jobs children share their parent's folder.
		static char owned[sizeof pattern];
		static pid_t owner;
		std::strcpy(owned, pattern);
		owner = getpid();
		std::atexit([] {
			if (getpid() == owner)
			{
				std::error_code ignored;
				std::filesystem::remove_all(owned, ignored);
			}
		});
		return pattern;
	}
};
