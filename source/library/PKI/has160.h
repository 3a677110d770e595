#pragma once

// The HAS-160 digest (160-bit output, 64-byte blocks) of the Korean standard,
// and its digest record for OpenSSL's EVP interface, which the crypto
// start-up registers with EVP_add_digest under the name "HAS160".

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

struct Has160Context
{
	uint32_t m_state[5];
	// Message length in bits, 64 bits wide so that messages of 512 MiB and
	// more are counted right.
	uint64_t m_bitCount;
	unsigned char m_buffer[64];
};

// Each returns 0 for a null context, else 1.
int Has160Init(Has160Context* context);
int Has160Update(Has160Context* context, const void* data, size_t length);
int Has160Final(Has160Context* context, unsigned char out[20]);

// Compresses the 64 bytes of the block buffer into the chaining words.
void Has160Transform(Has160Context* context);

// The digest record, created on first use on the object number of "HAS160"
// and never freed. Null while OpenSSL has no "HAS160" object: the crypto
// start-up creates that object before it asks for the record.
const EVP_MD* Has160EvpMd();
