#include "PKI/PbeLimits.h"

#include <cstdint>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "PKI/OpenSslPtr.h"

namespace
{

// An absent count means 1; one that does not fit 64 bits is too many.
bool ReadCount(const ASN1_INTEGER* count, int64_t& value)
{
	value = 1;
	return count == nullptr || ASN1_INTEGER_get_int64(&value, count) == 1;
}

bool CountAcceptable(const ASN1_INTEGER* count)
{
	int64_t value = 0;
	return ReadCount(count, value) && value <= kMaxPbeIterations;
}

template <typename Param>
Param* Unpack(const ASN1_ITEM* item, const ASN1_TYPE* parameter)
{
	if (parameter == nullptr || parameter->type != V_ASN1_SEQUENCE)
	{
		return nullptr;
	}
	return static_cast<Param*>(ASN1_TYPE_unpack_sequence(item, parameter));
}

bool Pbes2CostAcceptable(const ASN1_TYPE* parameter)
{
	Pbe2ParamPtr pbe2(Unpack<PBE2PARAM>(ASN1_ITEM_rptr(PBE2PARAM), parameter));
	if (!pbe2 || pbe2->keyfunc == nullptr)
	{
		return true;
	}
	const int kdf = OBJ_obj2nid(pbe2->keyfunc->algorithm);
	if (kdf == NID_id_pbkdf2)
	{
		Pbkdf2ParamPtr pbkdf2(Unpack<PBKDF2PARAM>(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter));
		return !pbkdf2 || CountAcceptable(pbkdf2->iter);
	}
	if (kdf == NID_id_scrypt)
	{
		ScryptParamPtr scrypt(Unpack<SCRYPT_PARAMS>(ASN1_ITEM_rptr(SCRYPT_PARAMS), pbe2->keyfunc->parameter));
		int64_t n = 0;
		int64_t r = 0;
		int64_t p = 0;
		// Each factor within the bound first, so that the product cannot overflow.
		return !scrypt
			|| (ReadCount(scrypt->costParameter, n) && ReadCount(scrypt->blockSize, r)
				&& ReadCount(scrypt->parallelizationParameter, p) && n <= kMaxPbeIterations
				&& r <= kMaxPbeIterations && p <= kMaxPbeIterations && n * r <= kMaxPbeIterations
				&& n * r * p <= kMaxPbeIterations);
	}
	return true;
}

bool BagsCostAcceptable(const STACK_OF(PKCS12_SAFEBAG)* bags)
{
	for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i)
	{
		const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
		const X509_ALGOR* algorithm = nullptr;
		switch (PKCS12_SAFEBAG_get_nid(bag))
		{
		case NID_pkcs8ShroudedKeyBag:
			X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &algorithm, nullptr);
			if (!PbeCostAcceptable(algorithm))
			{
				return false;
			}
			break;
		case NID_safeContentsBag:
			// The nesting is bounded by the decoder's own depth limit.
			if (!BagsCostAcceptable(PKCS12_SAFEBAG_get0_safes(bag)))
			{
				return false;
			}
			break;
		default:
			break;
		}
	}
	return true;
}

} // namespace

bool PbeCostAcceptable(const X509_ALGOR* algorithm)
{
	if (algorithm == nullptr)
	{
		return true;
	}
	if (OBJ_obj2nid(algorithm->algorithm) == NID_pbes2)
	{
		return Pbes2CostAcceptable(algorithm->parameter);
	}
	// PKCS#5 v1, PKCS#12 and the NPKI SEED schemes all take a PBEParameter.
	PbeParamPtr pbe(Unpack<PBEPARAM>(ASN1_ITEM_rptr(PBEPARAM), algorithm->parameter));
	return !pbe || CountAcceptable(pbe->iter);
}

bool Pkcs12CostAcceptable(PKCS12* p12, const char* password)
{
	const ASN1_INTEGER* macCount = nullptr;
	PKCS12_get0_mac(nullptr, nullptr, nullptr, &macCount, p12);
	if (!CountAcceptable(macCount))
	{
		return false;
	}
	SafesPtr safes(PKCS12_unpack_authsafes(p12));
	if (!safes)
	{
		return true;
	}
	for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i)
	{
		PKCS7* safe = sk_PKCS7_value(safes.get(), i);
		BagsPtr bags;
		switch (OBJ_obj2nid(safe->type))
		{
		case NID_pkcs7_data:
			bags.reset(PKCS12_unpack_p7data(safe));
			break;
		case NID_pkcs7_encrypted:
			if (safe->d.encrypted == nullptr || safe->d.encrypted->enc_data == nullptr
				|| !PbeCostAcceptable(safe->d.encrypted->enc_data->algorithm))
			{
				return false;
			}
			bags.reset(PKCS12_unpack_p7encdata(safe, password, -1));
			// The parse reads an empty password as none at all when the MAC says so.
			if (!bags && (password == nullptr || password[0] == '\0'))
			{
				bags.reset(PKCS12_unpack_p7encdata(safe, nullptr, 0));
			}
			if (!bags)
			{
				return false;
			}
			break;
		default:
			continue;
		}
		if (bags && !BagsCostAcceptable(bags.get()))
		{
			return false;
		}
	}
	return true;
}
