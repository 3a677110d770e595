#pragma once

#include <openssl/evp.h>

// The SEED-based password-based encryption of NPKI private keys, added to
// the crypto library's table of PBE schemes so that PKCS8_decrypt,
// PKCS8_encrypt and PKCS12_parse handle NPKI keys:
// - "PBE-SHA-SEED-CBC" (and "PBE-HAS160-SEED-CBC", "PBE-SHA1-SEED-CBC"):
//   PBKDF1-SHA1 over password and salt, SEED key = DK[0..15],
//   IV = SHA-1(DK[16..19])[0..15];
// - the SEED-CBC identifier with PBE parameters: the same key, and the fixed
//   IV "0123456789012345";
// - PBES2 with PBKDF2 and SEED-CBC needs only the cipher, registered here.

// Our own SEED-CBC cipher (over SEED_set_key / SEED_cbc_encrypt), so that
// the schemes work whether or not the library's legacy provider is loaded.
const EVP_CIPHER* SeedCbcEvp();

// Registers the cipher and the schemes with the library. Needs the objects
// created by the crypto start-up; harmless when called again.
void SeedPbeRegister();
