#include "PKI/has160.h"

#include <openssl/objects.h>

#include <cstring>
#include <mutex>

namespace
{

constexpr uint32_t kInitialState[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

// Per step of a round: the rotation of A, and which of the 20 message words
// (16 of the block, 4 derived per round) each round feeds in.
constexpr int kRotateA[20] = {5, 11, 7, 15, 6, 13, 8, 14, 7, 12, 9, 11, 8, 15, 6, 12, 9, 14, 5, 13};
constexpr int kWordOrder[4][20] = {
	{18, 0, 1, 2, 3, 19, 4, 5, 6, 7, 16, 8, 9, 10, 11, 17, 12, 13, 14, 15},
	{18, 3, 6, 9, 12, 19, 15, 2, 5, 8, 16, 11, 14, 1, 4, 17, 7, 10, 13, 0},
	{18, 12, 5, 14, 7, 19, 0, 9, 2, 11, 16, 4, 13, 6, 15, 17, 8, 1, 10, 3},
	{18, 7, 2, 13, 8, 19, 3, 14, 9, 4, 16, 15, 10, 5, 0, 17, 11, 6, 1, 12},
};
// The four derived words of each round are the XOR of these block words.
constexpr int kDerived[4][4][4] = {
	{{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10, 11}, {12, 13, 14, 15}},
	{{3, 6, 9, 12}, {15, 2, 5, 8}, {11, 14, 1, 4}, {7, 10, 13, 0}},
	{{12, 5, 14, 7}, {0, 9, 2, 11}, {4, 13, 6, 15}, {8, 1, 10, 3}},
	{{7, 2, 13, 8}, {3, 14, 9, 4}, {15, 10, 5, 0}, {11, 6, 1, 12}},
};
constexpr int kRotateB[4] = {10, 17, 25, 30};
constexpr uint32_t kRoundConstant[4] = {0, 0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC};

inline uint32_t Rotl(uint32_t x, int n)
{
	return (x << n) | (x >> (32 - n));
}

template <int R>
inline uint32_t Boolean(uint32_t x, uint32_t y, uint32_t z)
{
	if (R == 0)
		return z ^ (x & (y ^ z));
	if (R == 2)
		return y ^ (x | ~z);
	return x ^ y ^ z;
}

// One step with the roles of the five words rotated instead of the words
// moved: the new A lands in e, and the next step is called with (e, a, b, c, d).
template <int R, int J>
inline void Step(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, const uint32_t* x)
{
	// Everything but A first: A is the word the previous step just made, so
	// adding it last keeps the chain between steps at a rotate and an add.
	const uint32_t rest = e + x[kWordOrder[R][J]] + kRoundConstant[R] + Boolean<R>(b, c, d);
	e = rest + Rotl(a, kRotateA[J]);
	b = Rotl(b, kRotateB[R]);
}

template <int R>
inline void Round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t* x)
{
	for (int i = 0; i < 4; ++i) {
		const int* w = kDerived[R][i];
		x[16 + i] = x[w[0]] ^ x[w[1]] ^ x[w[2]] ^ x[w[3]];
	}
	Step<R, 0>(a, b, c, d, e, x);
	Step<R, 1>(e, a, b, c, d, x);
	Step<R, 2>(d, e, a, b, c, x);
	Step<R, 3>(c, d, e, a, b, x);
	Step<R, 4>(b, c, d, e, a, x);
	Step<R, 5>(a, b, c, d, e, x);
	Step<R, 6>(e, a, b, c, d, x);
	Step<R, 7>(d, e, a, b, c, x);
	Step<R, 8>(c, d, e, a, b, x);
	Step<R, 9>(b, c, d, e, a, x);
	Step<R, 10>(a, b, c, d, e, x);
	Step<R, 11>(e, a, b, c, d, x);
	Step<R, 12>(d, e, a, b, c, x);
	Step<R, 13>(c, d, e, a, b, x);
	Step<R, 14>(b, c, d, e, a, x);
	Step<R, 15>(a, b, c, d, e, x);
	Step<R, 16>(e, a, b, c, d, x);
	Step<R, 17>(d, e, a, b, c, x);
	Step<R, 18>(c, d, e, a, b, x);
	Step<R, 19>(b, c, d, e, a, x);
}

inline uint32_t LoadLe32(const unsigned char* p)
{
	return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLe32(unsigned char* p, uint32_t v)
{
	for (int i = 0; i < 4; ++i)
		p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void Compress(uint32_t* state, const unsigned char* block)
{
	uint32_t x[20];
	for (int i = 0; i < 16; ++i)
		x[i] = LoadLe32(block + 4 * i);
	uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
	Round<0>(a, b, c, d, e, x);
	Round<1>(a, b, c, d, e, x);
	Round<2>(a, b, c, d, e, x);
	Round<3>(a, b, c, d, e, x);
	state[0] += a;
	state[1] += b;
	state[2] += c;
	state[3] += d;
	state[4] += e;
}

} // namespace

int Has160Init(Has160Context* context)
{
	if (!context)
		return 0;
	std::memcpy(context->m_state, kInitialState, sizeof(kInitialState));
	context->m_bitCount = 0;
	return 1;
}

void Has160Transform(Has160Context* context)
{
	Compress(context->m_state, context->m_buffer);
}

int Has160Update(Has160Context* context, const void* data, size_t length)
{
	if (!context)
		return 0;
	const auto* in = static_cast<const unsigned char*>(data);
	size_t fill = static_cast<size_t>(context->m_bitCount / 8 % 64);
	context->m_bitCount += static_cast<uint64_t>(length) * 8;
	if (fill) {
		const size_t take = length < 64 - fill ? length : 64 - fill;
		std::memcpy(context->m_buffer + fill, in, take);
		in += take;
		length -= take;
		fill += take;
		if (fill < 64)
			return 1;
		Has160Transform(context);
	}
	// Whole blocks straight from the input: no copy through the buffer.
	for (; length >= 64; in += 64, length -= 64)
		Compress(context->m_state, in);
	if (length)
		std::memcpy(context->m_buffer, in, length);
	return 1;
}

int Has160Final(Has160Context* context, unsigned char out[20])
{
	if (!context)
		return 0;
	size_t fill = static_cast<size_t>(context->m_bitCount / 8 % 64);
	context->m_buffer[fill++] = 0x80;
	if (fill > 56) {
		std::memset(context->m_buffer + fill, 0, 64 - fill);
		Has160Transform(context);
		fill = 0;
	}
	std::memset(context->m_buffer + fill, 0, 56 - fill);
	StoreLe32(context->m_buffer + 56, static_cast<uint32_t>(context->m_bitCount));
	StoreLe32(context->m_buffer + 60, static_cast<uint32_t>(context->m_bitCount >> 32));
	Has160Transform(context);
	for (int i = 0; i < 5; ++i)
		StoreLe32(out + 4 * i, context->m_state[i]);
	return 1;
}

namespace
{

Has160Context* ContextOf(EVP_MD_CTX* ctx)
{
	return static_cast<Has160Context*>(EVP_MD_CTX_md_data(ctx));
}

int Has160EvpInit(EVP_MD_CTX* ctx)
{
	return Has160Init(ContextOf(ctx));
}

int Has160EvpUpdate(EVP_MD_CTX* ctx, const void* data, size_t length)
{
	return Has160Update(ContextOf(ctx), data, length);
}

int Has160EvpFinal(EVP_MD_CTX* ctx, unsigned char* out)
{
	return Has160Final(ContextOf(ctx), out);
}

// Signing goes through the key's own method in OpenSSL 3.0, so the record
// names "RSA-HAS160" as its signature type only when that object exists.
const EVP_MD* MakeRecord(int nid)
{
	EVP_MD* md = EVP_MD_meth_new(nid, OBJ_sn2nid("RSA-HAS160"));
	if (!md)
		return nullptr;
	if (!EVP_MD_meth_set_result_size(md, 20) || !EVP_MD_meth_set_input_blocksize(md, 64)
		|| !EVP_MD_meth_set_app_datasize(md, sizeof(Has160Context)) || !EVP_MD_meth_set_flags(md, 0)
		|| !EVP_MD_meth_set_init(md, Has160EvpInit) || !EVP_MD_meth_set_update(md, Has160EvpUpdate)
		|| !EVP_MD_meth_set_final(md, Has160EvpFinal)) {
		EVP_MD_meth_free(md);
		return nullptr;
	}
	return md;
}

} // namespace

const EVP_MD* Has160EvpMd()
{
	static std::mutex guard;
	static const EVP_MD* record = nullptr;
	std::lock_guard<std::mutex> lock(guard);
	if (!record) {
		const int nid = OBJ_sn2nid("HAS160");
		if (nid != NID_undef)
			record = MakeRecord(nid);
	}
	return record;
}
