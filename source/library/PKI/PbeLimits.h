#pragma once

// Bounds on the key derivation that a key file or a PKCS#12 asks for. The
// certificate work runs on the agent's select loop, so one hostile file
// naming billions of rounds would block every connection for days. Real
// NPKI files use 2,048 rounds and the library's own defaults stay far below
// the bound, so nothing genuine is refused.

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

// The most rounds of a PBKDF (PKCS#5, PKCS#12, the NPKI SEED schemes, the
// PKCS#12 MAC), and the most N x r x p of scrypt.
constexpr long long kMaxPbeIterations = 1000000;

// False when the password-based encryption named by the algorithm
// identifier would derive its key with more work than the bound allows. An
// identifier whose parameters do not read is let through: the decryption
// fails on it by itself, without deriving anything.
bool PbeCostAcceptable(const X509_ALGOR* algorithm);

// The same for everything PKCS12_parse would derive a key for: the MAC, the
// encrypted contents and the shrouded key bags, also inside encrypted
// contents (which are opened with the password to look, under the checked
// bound of their own). False as well when such contents do not open: the
// parse would fail on them too.
bool Pkcs12CostAcceptable(PKCS12* p12, const char* password);
