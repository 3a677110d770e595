#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <stdlib.h>

// The crypto start-up writes a random-seed file named by RANDFILE (else
// ~/.rnd). Test programs that reach it include this header: before main runs,
// RANDFILE is pointed into a private temporary folder, which is removed at
// exit after the start-up has deleted its seed file.
class CryptoTestEnv
{
public:
	static std::string Dir() { return Name(); }
	static std::string SeedFile() { return Dir() + "/seed.rnd"; }

	static bool Prepare()
	{
		if (Name()[0] == '\0')
		{
			std::strcpy(Name(), "/tmp/zc_crypto_XXXXXX");
			if (mkdtemp(Name()) == nullptr)
			{
				return false;
			}
			setenv("RANDFILE", SeedFile().c_str(), 1);
			std::atexit(Remove);
		}
		return true;
	}

private:
	// Plain storage: it must outlive every static destructor.
	static char* Name()
	{
		static char name[64];
		return name;
	}

	static void Remove()
	{
		std::error_code ignored;
		std::filesystem::remove_all(Name(), ignored);
	}
};

static const bool g_cryptoTestEnvReady = CryptoTestEnv::Prepare();
