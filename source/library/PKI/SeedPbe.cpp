#include "PKI/SeedPbe.h"

#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/seed.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "PKI/OpenSslPtr.h"

namespace
{

// The fixed IV of the scheme that carries the SEED-CBC identifier itself.
const unsigned char kFixedIv[SEED_BLOCK_SIZE + 1] = "0123456789012345";

int SeedCbcInit(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char*, int)
{
	if (key != nullptr)
	{
		SEED_set_key(key, static_cast<SEED_KEY_SCHEDULE*>(EVP_CIPHER_CTX_get_cipher_data(ctx)));
	}
	return 1;
}

int SeedCbcCipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t length)
{
	SEED_cbc_encrypt(in, out, length,
		static_cast<const SEED_KEY_SCHEDULE*>(EVP_CIPHER_CTX_get_cipher_data(ctx)),
		EVP_CIPHER_CTX_iv_noconst(ctx), EVP_CIPHER_CTX_is_encrypting(ctx));
	return 1;
}

EVP_CIPHER* MakeSeedCbc()
{
	EVP_CIPHER* cipher = EVP_CIPHER_meth_new(NID_seed_cbc, SEED_BLOCK_SIZE, SEED_KEY_LENGTH);
	if (cipher == nullptr)
	{
		return nullptr;
	}
	if (!EVP_CIPHER_meth_set_iv_length(cipher, SEED_BLOCK_SIZE)
		|| !EVP_CIPHER_meth_set_flags(cipher, EVP_CIPH_CBC_MODE)
		|| !EVP_CIPHER_meth_set_init(cipher, SeedCbcInit)
		|| !EVP_CIPHER_meth_set_do_cipher(cipher, SeedCbcCipher)
		|| !EVP_CIPHER_meth_set_impl_ctx_size(cipher, sizeof(SEED_KEY_SCHEDULE)))
	{
		EVP_CIPHER_meth_free(cipher);
		return nullptr;
	}
	return cipher;
}

// PBKDF1 with SHA-1: T1 = SHA-1(password || salt), Tn = SHA-1(Tn-1).
bool Pbkdf1Sha1(const char* pass, int passlen, const unsigned char* salt, int saltlen, long iterations,
	unsigned char dk[SHA_DIGEST_LENGTH])
{
	MdCtxPtr md(EVP_MD_CTX_new());
	if (!md || !EVP_DigestInit_ex(md.get(), EVP_sha1(), nullptr)
		|| !EVP_DigestUpdate(md.get(), pass, passlen)
		|| !EVP_DigestUpdate(md.get(), salt, saltlen)
		|| !EVP_DigestFinal_ex(md.get(), dk, nullptr))
	{
		return false;
	}
	for (long i = 1; i < iterations; ++i)
	{
		if (!EVP_Digest(dk, SHA_DIGEST_LENGTH, dk, nullptr, EVP_sha1(), nullptr))
		{
			return false;
		}
	}
	return true;
}

// The key generation shared by both PBEParameter schemes; they differ only
// in the IV.
int SeedPbeKeyIv(EVP_CIPHER_CTX* ctx, const char* pass, int passlen, ASN1_TYPE* param, int en_de,
	bool fixedIv)
{
	PbeParamPtr pbe(static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), param)));
	if (!pbe)
	{
		return 0;
	}
	if (pass == nullptr)
	{
		passlen = 0;
	}
	else if (passlen < 0)
	{
		passlen = static_cast<int>(std::strlen(pass));
	}
	const long iterations = pbe->iter != nullptr ? ASN1_INTEGER_get(pbe->iter) : 1;
	unsigned char dk[SHA_DIGEST_LENGTH];
	unsigned char iv[SHA_DIGEST_LENGTH];
	if (iterations < 1
		|| !Pbkdf1Sha1(pass, passlen, ASN1_STRING_get0_data(pbe->salt), ASN1_STRING_length(pbe->salt),
			iterations, dk))
	{
		return 0;
	}
	if (fixedIv)
	{
		std::memcpy(iv, kFixedIv, SEED_BLOCK_SIZE);
	}
	else if (!EVP_Digest(dk + SEED_KEY_LENGTH, SHA_DIGEST_LENGTH - SEED_KEY_LENGTH, iv, nullptr, EVP_sha1(),
		nullptr))
	{
		OPENSSL_cleanse(dk, sizeof(dk));
		return 0;
	}
	int ok = EVP_CipherInit_ex(ctx, SeedCbcEvp(), nullptr, dk, iv, en_de);
	OPENSSL_cleanse(dk, sizeof(dk));
	OPENSSL_cleanse(iv, sizeof(iv));
	if (!ok)
	{
		printf("EVP_CipherInit failed!\n");
		return 0;
	}
	if (!EVP_CIPHER_CTX_set_padding(ctx, 1))
	{
		printf("EVP_CIPHER_CTX_set_padding failed!\n");
		return 0;
	}
	return 1;
}

int SeedPbeKeygen(EVP_CIPHER_CTX* ctx, const char* pass, int passlen, ASN1_TYPE* param, const EVP_CIPHER*,
	const EVP_MD*, int en_de)
{
	return SeedPbeKeyIv(ctx, pass, passlen, param, en_de, false);
}

int SeedFixedIvPbeKeygen(EVP_CIPHER_CTX* ctx, const char* pass, int passlen, ASN1_TYPE* param,
	const EVP_CIPHER*, const EVP_MD*, int en_de)
{
	return SeedPbeKeyIv(ctx, pass, passlen, param, en_de, true);
}

void AddScheme(int pbeNid, EVP_PBE_KEYGEN* keygen)
{
	if (pbeNid != NID_undef && !EVP_PBE_find(EVP_PBE_TYPE_OUTER, pbeNid, nullptr, nullptr, nullptr))
	{
		EVP_PBE_alg_add_type(EVP_PBE_TYPE_OUTER, pbeNid, NID_seed_cbc, NID_sha1, keygen);
	}
}

} // namespace

const EVP_CIPHER* SeedCbcEvp()
{
	// Registered with the library, hence never freed.
	static const EVP_CIPHER* const cipher = MakeSeedCbc();
	return cipher;
}

void SeedPbeRegister()
{
	if (SeedCbcEvp() != nullptr)
	{
		EVP_add_cipher(SeedCbcEvp());
	}
	AddScheme(OBJ_sn2nid("PBE-SHA-SEED-CBC"), SeedPbeKeygen);
	AddScheme(OBJ_sn2nid("PBE-HAS160-SEED-CBC"), SeedPbeKeygen);
	AddScheme(OBJ_sn2nid("PBE-SHA1-SEED-CBC"), SeedPbeKeygen);
	AddScheme(NID_seed_cbc, SeedFixedIvPbeKeygen);
}
