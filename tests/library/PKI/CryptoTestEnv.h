#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <openssl/objects.h>

#include "PKI/CryptoInitializer.h"

// The crypto start-up writes a random-seed file named by RANDFILE (else
// ~/.rnd). Test programs that reach it include this header: before main runs,
// RANDFILE is pointed into a private temporary folder, removed at exit.
class CryptoTestEnv
{
public:
	static std::string Dir() { return Name(); }
	static std::string SeedFile() { return Dir() + "/seed.rnd"; }

	static bool Prepare()
	{
		if (Name()[0] != '\0')
			return true;
		std::strcpy(Name(), "/tmp/zc_crypto_XXXXXX");
		if (mkdtemp(Name()) == nullptr)
			return false;
		setenv("RANDFILE", SeedFile().c_str(), 1);
		std::atexit([] {
			std::error_code ignored;
			std::filesystem::remove_all(Name(), ignored);
		});
		return true;
	}

	// The check's result in a forked child: a process where the start-up has
	// not run yet when this one has not.
	static bool InChild(const std::function<bool()>& check)
	{
		const pid_t child = fork();
		if (child == 0)
		{
			const bool ok = check();
			CryptoInitializer::Instance().RemoveSeedFile();
			_exit(ok ? 0 : 1);
		}
		int status = 0;
		return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
	}

	static bool Started() { return OBJ_sn2nid("PBE-SHA-SEED-CBC") != NID_undef; }

private:
	// Plain storage: it must outlive every static destructor.
	static char* Name()
	{
		static char name[64];
		return name;
	}
};

static const bool g_cryptoTestEnvReady = CryptoTestEnv::Prepare();
