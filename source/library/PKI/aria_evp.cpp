#include "PKI/aria.h"

#include <openssl/objects.h>

// The EVP glue of ARIA: one cipher record per key size and mode, all sharing
// one init function and the per-mode cipher functions below.

namespace
{

AriaCipherData* DataOf(EVP_CIPHER_CTX* ctx)
{
	return static_cast<AriaCipherData*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

int AriaInitKey(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char*, int enc)
{
	if (!key)
		return 1;
	AriaCipherData* data = DataOf(ctx);
	const int mode = EVP_CIPHER_CTX_mode(ctx);
	const int bits = EVP_CIPHER_CTX_key_length(ctx) * 8;
	// The stream modes only ever run the cipher forwards.
	const bool inverse = !enc && (mode == EVP_CIPH_ECB_MODE || mode == EVP_CIPH_CBC_MODE);
	const int ret = inverse ? AriaSetDecryptKey(key, bits, data) : AriaSetEncryptKey(key, bits, data);
	if (ret < 0)
		return 0;
	data->m_block = AriaBlock;
	data->m_stream = mode == EVP_CIPH_CBC_MODE ? AriaCbcStream : nullptr;
	return 1;
}

int AriaCipherEcb(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t length)
{
	const AriaCipherData* data = DataOf(ctx);
	// The library hands whole blocks; a trailing partial block is left alone.
	AriaEcbBlocks(in, out, length / 16, data);
	return 1;
}

int AriaCipherCbc(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t length)
{
	const AriaCipherData* data = DataOf(ctx);
	data->m_stream(in, out, length, data, EVP_CIPHER_CTX_iv_noconst(ctx), EVP_CIPHER_CTX_encrypting(ctx));
	return 1;
}

// The stream modes keep their place inside the current IV block in the
// context's number.
template <typename Mode>
int RunStreamMode(EVP_CIPHER_CTX* ctx, Mode mode)
{
	const AriaCipherData* data = DataOf(ctx);
	int num = EVP_CIPHER_CTX_num(ctx);
	mode(data, EVP_CIPHER_CTX_iv_noconst(ctx), &num, EVP_CIPHER_CTX_encrypting(ctx));
	EVP_CIPHER_CTX_set_num(ctx, num);
	return 1;
}

int AriaCipherOfb(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t length)
{
	return RunStreamMode(ctx, [&](const AriaCipherData* data, unsigned char* iv, int* num, int) {
		CRYPTO_ofb128_encrypt(in, out, length, data, iv, num, data->m_block);
	});
}

int AriaCipherCfb(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t length)
{
	return RunStreamMode(ctx, [&](const AriaCipherData* data, unsigned char* iv, int* num, int enc) {
		CRYPTO_cfb128_encrypt(in, out, length, data, iv, num, enc, data->m_block);
	});
}

int AriaCipherCfb8(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t length)
{
	return RunStreamMode(ctx, [&](const AriaCipherData* data, unsigned char* iv, int* num, int enc) {
		CRYPTO_cfb128_8_encrypt(in, out, length, data, iv, num, enc, data->m_block);
	});
}

// The five modes of the records. CFB8 has no mode number of its own: it
// shares CFB's.
enum class AriaMode
{
	Ecb,
	Cbc,
	Ofb,
	Cfb,
	Cfb8,
};

struct ModeInfo
{
	int flags;
	int blockSize;
	int ivLength;
	int (*doCipher)(EVP_CIPHER_CTX*, unsigned char*, const unsigned char*, size_t);
};

// Only the mode goes into the flags: OpenSSL 3.0 gives every cipher without
// custom ASN.1 handling the default IV parameter, and its other flag bits
// mean things (cipher-text stealing, for one) these ciphers do not do.
ModeInfo InfoOf(AriaMode mode)
{
	switch (mode) {
	case AriaMode::Ecb:
		return {EVP_CIPH_ECB_MODE, 16, 0, AriaCipherEcb};
	case AriaMode::Cbc:
		return {EVP_CIPH_CBC_MODE, 16, 16, AriaCipherCbc};
	case AriaMode::Ofb:
		return {EVP_CIPH_OFB_MODE, 1, 16, AriaCipherOfb};
	case AriaMode::Cfb:
		return {EVP_CIPH_CFB_MODE, 1, 16, AriaCipherCfb};
	case AriaMode::Cfb8:
		break;
	}
	return {EVP_CIPH_CFB_MODE, 1, 16, AriaCipherCfb8};
}

// Builds one record on the object number OpenSSL already has for the name.
const EVP_CIPHER* MakeRecord(const char* name, int keyLength, AriaMode mode)
{
	const int nid = OBJ_sn2nid(name);
	if (nid == NID_undef)
		return nullptr;
	const ModeInfo info = InfoOf(mode);
	EVP_CIPHER* cipher = EVP_CIPHER_meth_new(nid, info.blockSize, keyLength);
	if (!cipher)
		return nullptr;
	if (!EVP_CIPHER_meth_set_iv_length(cipher, info.ivLength) || !EVP_CIPHER_meth_set_flags(cipher, info.flags)
		|| !EVP_CIPHER_meth_set_init(cipher, AriaInitKey) || !EVP_CIPHER_meth_set_do_cipher(cipher, info.doCipher)
		|| !EVP_CIPHER_meth_set_impl_ctx_size(cipher, sizeof(AriaCipherData))) {
		EVP_CIPHER_meth_free(cipher);
		return nullptr;
	}
	return cipher;
}

} // namespace

// Each record is built on first use (thread-safe static) and never freed.
#define ARIA_RECORD(function, name, keyLength, mode) \
	const EVP_CIPHER* function() \
	{ \
		static const EVP_CIPHER* const record = MakeRecord(name, keyLength, AriaMode::mode); \
		return record; \
	}

ARIA_RECORD(AriaEvp128Ecb, "ARIA-128-ECB", 16, Ecb)
ARIA_RECORD(AriaEvp128Cbc, "ARIA-128-CBC", 16, Cbc)
ARIA_RECORD(AriaEvp128Ofb, "ARIA-128-OFB", 16, Ofb)
ARIA_RECORD(AriaEvp128Cfb, "ARIA-128-CFB", 16, Cfb)
ARIA_RECORD(AriaEvp128Cfb8, "ARIA-128-CFB8", 16, Cfb8)
ARIA_RECORD(AriaEvp192Ecb, "ARIA-192-ECB", 24, Ecb)
ARIA_RECORD(AriaEvp192Cbc, "ARIA-192-CBC", 24, Cbc)
ARIA_RECORD(AriaEvp192Ofb, "ARIA-192-OFB", 24, Ofb)
ARIA_RECORD(AriaEvp192Cfb, "ARIA-192-CFB", 24, Cfb)
ARIA_RECORD(AriaEvp192Cfb8, "ARIA-192-CFB8", 24, Cfb8)
ARIA_RECORD(AriaEvp256Ecb, "ARIA-256-ECB", 32, Ecb)
ARIA_RECORD(AriaEvp256Cbc, "ARIA-256-CBC", 32, Cbc)
ARIA_RECORD(AriaEvp256Ofb, "ARIA-256-OFB", 32, Ofb)
ARIA_RECORD(AriaEvp256Cfb, "ARIA-256-CFB", 32, Cfb)
ARIA_RECORD(AriaEvp256Cfb8, "ARIA-256-CFB8", 32, Cfb8)
