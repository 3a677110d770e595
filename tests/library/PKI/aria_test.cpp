#include "PKI/aria.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

using Bytes = std::vector<unsigned char>;
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
using FetchedPtr = std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)>;

Bytes FromHex(const std::string& hex)
{
	Bytes out;
	for (size_t i = 0; i + 1 < hex.size(); i += 2)
		out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
	return out;
}

// Runs a cipher over `in`, cut into updates at the given points.
Bytes CipherRun(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, int enc, bool padding, const Bytes& in,
	const std::vector<size_t>& cuts = {})
{
	CtxPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
	EXPECT_EQ(1, EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc));
	EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0);
	Bytes out(in.size() + 32);
	int total = 0, n = 0;
	size_t from = 0;
	std::vector<size_t> ends = cuts;
	ends.push_back(in.size());
	for (size_t to : ends) {
		EXPECT_EQ(1, EVP_CipherUpdate(ctx.get(), out.data() + total, &n, in.data() + from, int(to - from)));
		total += n;
		from = to;
	}
	EXPECT_EQ(1, EVP_CipherFinal_ex(ctx.get(), out.data() + total, &n));
	out.resize(size_t(total + n));
	return out;
}

struct Record
{
	const char* name;
	const EVP_CIPHER* (*ours)();
};

const Record kRecords[] = {
	{"ARIA-128-ECB", AriaEvp128Ecb}, {"ARIA-128-CBC", AriaEvp128Cbc}, {"ARIA-128-OFB", AriaEvp128Ofb},
	{"ARIA-128-CFB", AriaEvp128Cfb}, {"ARIA-128-CFB8", AriaEvp128Cfb8}, {"ARIA-192-ECB", AriaEvp192Ecb},
	{"ARIA-192-CBC", AriaEvp192Cbc}, {"ARIA-192-OFB", AriaEvp192Ofb}, {"ARIA-192-CFB", AriaEvp192Cfb},
	{"ARIA-192-CFB8", AriaEvp192Cfb8}, {"ARIA-256-ECB", AriaEvp256Ecb}, {"ARIA-256-CBC", AriaEvp256Cbc},
	{"ARIA-256-OFB", AriaEvp256Ofb}, {"ARIA-256-CFB", AriaEvp256Cfb}, {"ARIA-256-CFB8", AriaEvp256Cfb8},
};

} // namespace

// RFC 5794, Appendix A: key 00 01 02 ..., plaintext 00 11 22 ... ff.
TEST(Aria, Rfc5794VectorsBothDirections)
{
	const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
	const std::pair<const EVP_CIPHER*, const char*> cases[] = {
		{AriaEvp128Ecb(), "d718fbd6ab644c739da95f3be6451778"},
		{AriaEvp192Ecb(), "26449c1805dbe7aa25a468ce263a9e79"},
		{AriaEvp256Ecb(), "f92bd7c79fb72e2f2b8f80c1972d24fc"},
	};
	for (const auto& c : cases) {
		Bytes key(size_t(EVP_CIPHER_key_length(c.first)));
		for (size_t i = 0; i < key.size(); ++i)
			key[i] = static_cast<unsigned char>(i);
		EXPECT_EQ(FromHex(c.second), CipherRun(c.first, key, {}, 1, false, plain));
		EXPECT_EQ(plain, CipherRun(c.first, key, {}, 0, false, FromHex(c.second)));
	}
}

// OpenSSL's own ARIA (fetched from its provider, not our records) is the
// oracle for every record, on random keys, IVs and lengths, with our side fed
// in updates cut at random points, and decrypting back the same way.
TEST(Aria, AllRecordsMatchOpenSslWithRandomSplits)
{
	std::mt19937 rng(20240501);
	for (const Record& record : kRecords) {
		SCOPED_TRACE(record.name);
		const EVP_CIPHER* ours = record.ours();
		ASSERT_NE(nullptr, ours);
		FetchedPtr theirs(EVP_CIPHER_fetch(nullptr, record.name, nullptr), EVP_CIPHER_free);
		ASSERT_NE(nullptr, theirs.get());
		EXPECT_EQ(EVP_CIPHER_nid(theirs.get()), EVP_CIPHER_nid(ours));
		const bool blockMode = EVP_CIPHER_block_size(ours) == 16;
		for (int trial = 0; trial < 12; ++trial) {
			Bytes key(size_t(EVP_CIPHER_key_length(ours))), iv(size_t(EVP_CIPHER_iv_length(ours)));
			Bytes plain(rng() % 600);
			for (Bytes* b : {&key, &iv, &plain})
				for (auto& byte : *b)
					byte = static_cast<unsigned char>(rng());
			const bool padding = blockMode && trial % 2 == 0;
			if (blockMode && !padding)
				plain.resize(plain.size() / 16 * 16);
			std::vector<size_t> cuts;
			for (size_t at = 0; plain.size() && (at += 1 + rng() % 37) < plain.size();)
				cuts.push_back(at);
			const Bytes expected = CipherRun(theirs.get(), key, iv, 1, padding, plain);
			EXPECT_EQ(expected, CipherRun(ours, key, iv, 1, padding, plain, cuts));
			// Padding only lengthens the text, so the same cuts fit it.
			EXPECT_EQ(plain, CipherRun(ours, key, iv, 0, padding, expected, cuts));
		}
	}
}
