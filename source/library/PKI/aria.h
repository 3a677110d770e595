#pragma once

// The ARIA block cipher (RFC 5794: 128-bit block; 128-, 192- and 256-bit
// keys) and its fifteen cipher records for OpenSSL's EVP interface, so that
// every library user reaches ARIA by name once the crypto start-up has
// registered them with EVP_add_cipher.

#include <openssl/evp.h>
#include <openssl/modes.h>

#include <cstddef>
#include <cstdint>

// Per-context data of the ARIA records: the expanded key and the functions the
// block modes are driven with. Round keys are kept as big-endian 32-bit words;
// blocks and keys themselves are byte strings in the order of RFC 5794.
struct AriaCipherData
{
	uint32_t m_roundKeys[17][4];
	int m_rounds;
	block128_f m_block;
	cbc128_f m_stream;
};

// Expand a key of 128, 192 or 256 bits into the data's round keys: 0 on
// success, -1 for any other key size.
int AriaSetEncryptKey(const unsigned char* key, int bits, AriaCipherData* data);
int AriaSetDecryptKey(const unsigned char* key, int bits, AriaCipherData* data);

// One 16-byte block with the stored round keys; `data` is an AriaCipherData.
// In and out may be the same buffer.
void AriaBlock(const unsigned char in[16], unsigned char out[16], const void* data);

// Whole blocks one after the other (ECB), several at a time.
void AriaEcbBlocks(const unsigned char* in, unsigned char* out, size_t blocks, const AriaCipherData* data);

// CBC over a whole number of blocks, updating the IV in place.
void AriaCbcStream(const unsigned char* in, unsigned char* out, size_t length, const void* data,
	unsigned char iv[16], int enc);

// The cipher records. Each is created on first use, on the object number that
// OpenSSL gives the record's name ("ARIA-128-ECB" ...), and lives until the
// process ends: the library's name table keeps pointing at it.
const EVP_CIPHER* AriaEvp128Ecb();
const EVP_CIPHER* AriaEvp128Cbc();
const EVP_CIPHER* AriaEvp128Ofb();
const EVP_CIPHER* AriaEvp128Cfb();
const EVP_CIPHER* AriaEvp128Cfb8();
const EVP_CIPHER* AriaEvp192Ecb();
const EVP_CIPHER* AriaEvp192Cbc();
const EVP_CIPHER* AriaEvp192Ofb();
const EVP_CIPHER* AriaEvp192Cfb();
const EVP_CIPHER* AriaEvp192Cfb8();
const EVP_CIPHER* AriaEvp256Ecb();
const EVP_CIPHER* AriaEvp256Cbc();
const EVP_CIPHER* AriaEvp256Ofb();
const EVP_CIPHER* AriaEvp256Cfb();
const EVP_CIPHER* AriaEvp256Cfb8();
