#pragma once

// Owning pointers for the crypto library's objects and for buffers that the
// certificate utilities hand out with malloc.

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter
{
	void operator()(T* p) const { Free(p); }
};

inline void FreeBioChain(BIO* bio) { BIO_free_all(bio); }
inline void CloseFile(FILE* f) { std::fclose(f); }
inline void FreeMalloced(void* p) { std::free(p); }
inline void FreeSafes(STACK_OF(PKCS7)* safes) { sk_PKCS7_pop_free(safes, PKCS7_free); }
inline void FreeBags(STACK_OF(PKCS12_SAFEBAG)* bags) { sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free); }

using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, FreeBioChain>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpenSslDeleter<PKCS12, PKCS12_free>>;
using P8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OpenSslDeleter<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;
using SigPtr = std::unique_ptr<X509_SIG, OpenSslDeleter<X509_SIG, X509_SIG_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using PbeParamPtr = std::unique_ptr<PBEPARAM, OpenSslDeleter<PBEPARAM, PBEPARAM_free>>;
using Pbe2ParamPtr = std::unique_ptr<PBE2PARAM, OpenSslDeleter<PBE2PARAM, PBE2PARAM_free>>;
using Pbkdf2ParamPtr = std::unique_ptr<PBKDF2PARAM, OpenSslDeleter<PBKDF2PARAM, PBKDF2PARAM_free>>;
using ScryptParamPtr = std::unique_ptr<SCRYPT_PARAMS, OpenSslDeleter<SCRYPT_PARAMS, SCRYPT_PARAMS_free>>;
// A PKCS#12's contents and bags, each stack with what it holds.
using SafesPtr = std::unique_ptr<STACK_OF(PKCS7), OpenSslDeleter<STACK_OF(PKCS7), FreeSafes>>;
using BagsPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), OpenSslDeleter<STACK_OF(PKCS12_SAFEBAG), FreeBags>>;
using FilePtr = std::unique_ptr<FILE, OpenSslDeleter<FILE, CloseFile>>;
using MallocBytes = std::unique_ptr<unsigned char, OpenSslDeleter<void, FreeMalloced>>;
using MallocText = std::unique_ptr<char, OpenSslDeleter<void, FreeMalloced>>;
// A TLS connection, and a TLS context.
using SslPtr = std::unique_ptr<SSL, OpenSslDeleter<SSL, SSL_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslDeleter<SSL_CTX, SSL_CTX_free>>;
