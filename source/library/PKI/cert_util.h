#pragma once

// The certificate utilities of the NPKI store and the agent: whole-file
// reads, DER certificates, NPKI private keys (PKCS#8 under the SEED-based
// encryption), Base64 through the library's filter, PKCS#12 build, split and
// inspection, digests by name, ASN.1 times and hexadecimal text.
//
// Results are lengths (or 0 on success) and negative codes on failure.
// Buffers returned through `out` are allocated with malloc and released by
// the caller with free, except BytesToHexUpper's (OPENSSL_free). Paths are
// UTF-8.

#include <cstdint>
#include <ctime>

#include <openssl/evp.h>
#include <openssl/x509.h>

// The fields as local time, as calendar seconds (-1 when they do not convert).
int64_t MkTime64(struct tm* fields);

// Certificate and key files are a few kilobytes; a larger one is refused
// unread, so that a path naming a huge file costs no memory.
const long kMaxWholeFileSize = 1024 * 1024;

// The whole file: its size (>= 1); -1 it does not open; -2 the read failed,
// the file is empty or larger than kMaxWholeFileSize.
int ReadWholeFile(const char* utf8Path, unsigned char** out);

// 1 and *out set when the bytes are one DER certificate; -1 otherwise.
int DecodeDerCertificate(X509** out, const unsigned char* data, int len);

// The private key of an NPKI key file (EncryptedPrivateKeyInfo DER), or null
// when the data is missing, the password is empty or wrong, or the file asks
// for more key-derivation rounds than PKI/PbeLimits.h allows. Passwords
// longer than 1024 bytes are cut to 1024 bytes.
EVP_PKEY* DecryptPrivateKey(const unsigned char* data, int len, const char* password);

// Base64 with a line feed after every 64 characters and none at the end;
// the text length, 0 for no data.
int BioBase64Encode(const unsigned char* data, int len, char** out);

// Decodes one line of Base64 (line breaks make it fail): the decoded length,
// 0 or less on failure. The result is NUL-terminated.
int BioBase64Decode(const char* text, int len, unsigned char** out);

// Writes the key as an NPKI key file: PKCS#8 under "PBE-SHA-SEED-CBC" with
// a random 8-byte salt and 2048 iterations. 0; -1 no key; -2 the encryption
// failed (also for an empty password, which could never be read back);
// -3 the file could not be written.
int WriteEncryptedPkcs8(EVP_PKEY* key, const char* password, const char* path);

// Splits a PKCS#12 into the two NPKI files. 0; -1 no data; -2 not a PKCS#12;
// -3 wrong password or bad data (also more key-derivation rounds than
// PKI/PbeLimits.h allows); -4 the files could not be written; -5 no key
// (or the key file could not be made); -6 no certificate. Nothing is written
// unless both certificate and key are there, and both files replace the old
// ones only when both were written. A file already there under the target's
// name in other letter cases is replaced under its own name.
int Pkcs12ToFiles(const unsigned char* pfx, int len, const char* derOutPath, const char* keyOutPath,
	const char* pfxPassword, const char* keyPassword);

// Builds a PKCS#12 from the two NPKI files: its length; -1/-2 the
// certificate does not read/decode; -3/-4 the key does not read/decrypt;
// -5 the PKCS#12 could not be made; -7 it could not be encoded.
int FilesToPkcs12(const char* certPath, const char* keyPath, const char* keyPassword, const char* pfxPassword,
	unsigned char** out);

// The properties of a PKCS#12's certificate, by their selector numbers.
enum Pkcs12Property
{
	Pkcs12Sha1 = 0,         // its SHA-1 as hex
	Pkcs12FolderName = 1,   // its subject as the folder name ("cn=..,ou=..,o=..,c=..",
	                        // every entry, empty values included)
	Pkcs12CommonName = 2,   // the subject's commonName
	Pkcs12Organization = 3, // the subject's organizationName
};

// One property (a Pkcs12Property) of a PKCS#12's certificate. The length; 0
// for no certificate, no such entry or a subject text of more than 1023
// bytes. The folder name and the organization name import folders: they
// also give 0 for a text that is no safe folder name (base/FileUtil.h).
// -1 .. -3 as Pkcs12ToFiles; -4 an unknown selector.
int Pkcs12GetProperty(const unsigned char* pfx, int len, const char* password, int selector, char** out);

// The digest of the bytes by the library's name ("MD5", "SHA1", "HAS160"):
// its length, 0 when the name is unknown.
int DigestByName(const char* name, const unsigned char* data, int len, unsigned char** out);

// An ASN.1 UTCTime or GeneralizedTime as local time in calendar seconds; the
// zone designator is not read. 0 for a malformed time.
int64_t AsnTimeToTime(const ASN1_TIME* time);

// Upper-case hexadecimal text, allocated with OPENSSL_malloc; null for no
// bytes.
char* BytesToHexUpper(const unsigned char* bytes, int len);

// The same text in a malloc'd buffer at *out: its length. Only the plain form
// exists; `plain` is kept for the callers.
int BytesToHex(const unsigned char* bytes, int len, int plain, char** out);
