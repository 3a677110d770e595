#include "PKI/aria.h"

// Table-driven ARIA. The state is four big-endian 32-bit words. One round's
// substitution layer and the byte mixing inside each word come from four
// 256-entry word tables; the rest of the diffusion layer is a few word XORs
// and byte moves (the 16x16 binary matrix of ARIA factors that way).

namespace
{

constexpr uint8_t GfMul(uint8_t a, uint8_t b)
{
	uint8_t r = 0;
	while (b) {
		if (b & 1)
			r ^= a;
		a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
		b >>= 1;
	}
	return r;
}

constexpr uint8_t GfPow(uint8_t x, int e)
{
	uint8_t r = 1;
	for (; e; e >>= 1) {
		if (e & 1)
			r = GfMul(r, x);
		x = GfMul(x, x);
	}
	return r;
}

constexpr uint8_t Rotl8(uint8_t x, int n)
{
	return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

// S1 is the AES box (inverse in GF(2^8), then its affine map); S2 is
// B * x^247 + 0xE2. B is given by its columns, lowest bit first.
constexpr uint8_t SBox1(uint8_t x)
{
	const uint8_t b = GfPow(x, 254);
	return b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63;
}

constexpr uint8_t SBox2(uint8_t x)
{
	constexpr uint8_t columns[8] = {0xac, 0xc5, 0x12, 0xcf, 0x5b, 0x5f, 0x85, 0xee};
	const uint8_t p = GfPow(x, 247);
	uint8_t r = 0xe2;
	for (int i = 0; i < 8; ++i)
		if (p >> i & 1)
			r ^= columns[i];
	return r;
}

struct AriaTables
{
	// Box output spread over the three bytes of the word other than the
	// input's own position in the odd-round layer.
	uint32_t s1[256]; // S1, input byte 0
	uint32_t s2[256]; // S2, input byte 1
	uint32_t x1[256]; // S1^-1, input byte 2
	uint32_t x2[256]; // S2^-1, input byte 3
};

constexpr AriaTables MakeTables()
{
	AriaTables t{};
	for (int i = 0; i < 256; ++i) {
		const uint8_t a = SBox1(static_cast<uint8_t>(i));
		const uint8_t b = SBox2(static_cast<uint8_t>(i));
		t.s1[i] = a * 0x00010101u;
		t.s2[i] = b * 0x01000101u;
		t.x1[a] = i * 0x01010001u;
		t.x2[b] = i * 0x01010100u;
	}
	return t;
}

constexpr AriaTables kTables = MakeTables();

// Key-schedule constants: the first 384 bits of the fraction of 1/pi.
constexpr uint32_t kConstants[3][4] = {
	{0x517cc1b7, 0x27220a94, 0xfe13abe8, 0xfa9a6ee0},
	{0x6db14acc, 0x9e21c820, 0xff28b1d5, 0xef5de2b0},
	{0xdb92371d, 0x2126e970, 0x03249775, 0x04e8c90e},
};

inline uint32_t Load32(const unsigned char* p)
{
	return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void Store32(unsigned char* p, uint32_t v)
{
	p[0] = static_cast<unsigned char>(v >> 24);
	p[1] = static_cast<unsigned char>(v >> 16);
	p[2] = static_cast<unsigned char>(v >> 8);
	p[3] = static_cast<unsigned char>(v);
}

inline uint32_t Byte(uint32_t w, int i)
{
	return (w >> (24 - 8 * i)) & 0xff;
}

inline uint32_t Rotate16(uint32_t w)
{
	return (w << 16) | (w >> 16);
}

inline uint32_t ByteSwap(uint32_t w)
{
	return __builtin_bswap32(w);
}

// Swaps the two bytes of each 16-bit half.
inline uint32_t SwapInHalves(uint32_t w)
{
	return Rotate16(ByteSwap(w));
}

// Each word becomes the XOR of the other three, then of a key word: two
// levels of XOR, so that a round's dependency chain stays short.
inline void MixWords(uint32_t& t0, uint32_t& t1, uint32_t& t2, uint32_t& t3, const uint32_t* k)
{
	const uint32_t a = t0 ^ t1, b = t2 ^ t3;
	const uint32_t u0 = t0, u1 = t1;
	t0 = a ^ (t2 ^ k[0]);
	t1 = b ^ (u0 ^ k[1]);
	t2 = a ^ (t3 ^ k[2]);
	t3 = b ^ (u1 ^ k[3]);
}

template <bool Odd>
inline uint32_t Subst(uint32_t w)
{
	if (Odd)
		return kTables.s1[Byte(w, 0)] ^ kTables.s2[Byte(w, 1)] ^ kTables.x1[Byte(w, 2)] ^ kTables.x2[Byte(w, 3)];
	return kTables.x1[Byte(w, 0)] ^ kTables.x2[Byte(w, 1)] ^ kTables.s1[Byte(w, 2)] ^ kTables.s2[Byte(w, 3)];
}

constexpr uint32_t kNoKey[4] = {0, 0, 0, 0};

// The diffusion layer after the byte mixing inside each word, then the next
// key. Layer 2 uses the same tables as layer 1 with the inputs moved, so the
// byte moves between the word mixes of an even round differ.
template <bool Odd>
inline void Diffuse(uint32_t& t0, uint32_t& t1, uint32_t& t2, uint32_t& t3, const uint32_t* key)
{
	MixWords(t0, t1, t2, t3, kNoKey);
	if (Odd) {
		t1 = SwapInHalves(t1);
		t2 = Rotate16(t2);
		t3 = ByteSwap(t3);
	} else {
		t0 = Rotate16(t0);
		t1 = ByteSwap(t1);
		t3 = SwapInHalves(t3);
	}
	MixWords(t0, t1, t2, t3, key);
}

// One round on a keyed state: substitution layer 1 (odd) or 2 (even), the
// diffusion layer, and the XOR with `key`.
template <bool Odd>
inline void Round(uint32_t* t, const uint32_t* key)
{
	uint32_t t0 = Subst<Odd>(t[0]), t1 = Subst<Odd>(t[1]), t2 = Subst<Odd>(t[2]), t3 = Subst<Odd>(t[3]);
	Diffuse<Odd>(t0, t1, t2, t3, key);
	t[0] = t0, t[1] = t1, t[2] = t2, t[3] = t3;
}

// The last round's substitution layer 2 alone, byte by byte.
inline uint32_t FinalSubst(uint32_t w)
{
	return (kTables.x1[Byte(w, 0)] & 0xff000000) ^ (kTables.x2[Byte(w, 1)] & 0x00ff0000)
		^ (kTables.s1[Byte(w, 2)] & 0x0000ff00) ^ (kTables.s2[Byte(w, 3)] & 0x000000ff);
}

inline void XorKey(uint32_t* t, const uint32_t* k)
{
	t[0] ^= k[0], t[1] ^= k[1], t[2] ^= k[2], t[3] ^= k[3];
}

// The diffusion layer alone: the byte mixing in each word, then the word steps
// of an odd round.
void AriaDiffusionLayer(const uint32_t* in, uint32_t* out)
{
	uint32_t t[4];
	for (int i = 0; i < 4; ++i) {
		const uint32_t w = in[i];
		const uint32_t all = (w ^ (w >> 8) ^ (w >> 16) ^ (w >> 24)) & 0xff;
		t[i] = w ^ all * 0x01010101u;
	}
	Diffuse<true>(t[0], t[1], t[2], t[3], kNoKey);
	for (int i = 0; i < 4; ++i)
		out[i] = t[i];
}

// Round key = x XOR (y rotated right by n bits), on 128-bit words.
void AriaMakeRoundKey(const uint32_t* x, const uint32_t* y, int n, uint32_t* out)
{
	const int q = n / 32, r = n % 32;
	for (int i = 0; i < 4; ++i) {
		uint32_t v = y[(i - q + 4) % 4] >> r;
		if (r)
			v |= y[(i - q + 3) % 4] << (32 - r);
		out[i] = x[i] ^ v;
	}
}

int AriaExpandEncryptKey(const unsigned char* key, int bits, uint32_t (*rk)[4])
{
	if (bits != 128 && bits != 192 && bits != 256)
		return 0;
	const int set = (bits - 128) / 64;
	const uint32_t* ck1 = kConstants[set];
	const uint32_t* ck2 = kConstants[(set + 1) % 3];
	const uint32_t* ck3 = kConstants[(set + 2) % 3];

	uint32_t w[4][4];
	uint32_t kr[4] = {0, 0, 0, 0};
	for (int i = 0; i < 4; ++i)
		w[0][i] = Load32(key + 4 * i);
	for (int i = 0; i < (bits - 128) / 32; ++i)
		kr[i] = Load32(key + 16 + 4 * i);

	// W1 = FO(W0, CK1) ^ KR, W2 = FE(W1, CK2) ^ W0, W3 = FO(W2, CK3) ^ W1.
	uint32_t t[4] = {w[0][0], w[0][1], w[0][2], w[0][3]};
	XorKey(t, ck1);
	Round<true>(t, kr);
	for (int i = 0; i < 4; ++i)
		w[1][i] = t[i];
	XorKey(t, ck2);
	Round<false>(t, w[0]);
	for (int i = 0; i < 4; ++i)
		w[2][i] = t[i];
	XorKey(t, ck3);
	Round<true>(t, w[1]);
	for (int i = 0; i < 4; ++i)
		w[3][i] = t[i];

	// Rotations of RFC 5794: right by 19 and 31, left by 61, 31 and 19.
	static const int rotations[5] = {19, 31, 128 - 61, 128 - 31, 128 - 19};
	const int rounds = (bits + 256) / 32;
	for (int k = 0; k <= rounds; ++k)
		AriaMakeRoundKey(w[k % 4], w[(k + 1) % 4], rotations[k / 4], rk[k]);
	return rounds;
}

int AriaExpandDecryptKey(const unsigned char* key, int bits, uint32_t (*rk)[4])
{
	uint32_t ek[17][4];
	const int rounds = AriaExpandEncryptKey(key, bits, ek);
	if (rounds <= 0)
		return rounds;
	for (int i = 0; i < 4; ++i) {
		rk[0][i] = ek[rounds][i];
		rk[rounds][i] = ek[0][i];
	}
	for (int k = 1; k < rounds; ++k)
		AriaDiffusionLayer(ek[rounds - k], rk[k]);
	return rounds;
}

// N blocks side by side: their rounds are independent, so the processor
// overlaps them (ECB and whole-buffer work).
template <int N>
void AriaProcessBlocks(const unsigned char* in, unsigned char* out, const uint32_t (*rk)[4], int rounds)
{
	uint32_t t[N][4];
	for (int b = 0; b < N; ++b) {
		for (int k = 0; k < 4; ++k)
			t[b][k] = Load32(in + 16 * b + 4 * k);
		XorKey(t[b], rk[0]);
	}
	int i = 1;
	for (; i < rounds - 1; i += 2) {
		for (int b = 0; b < N; ++b)
			Round<true>(t[b], rk[i]);
		for (int b = 0; b < N; ++b)
			Round<false>(t[b], rk[i + 1]);
	}
	for (int b = 0; b < N; ++b) {
		Round<true>(t[b], rk[i]);
		for (int k = 0; k < 4; ++k)
			Store32(out + 16 * b + 4 * k, FinalSubst(t[b][k]) ^ rk[i + 1][k]);
	}
}

} // namespace

int AriaSetEncryptKey(const unsigned char* key, int bits, AriaCipherData* data)
{
	data->m_rounds = AriaExpandEncryptKey(key, bits, data->m_roundKeys);
	return data->m_rounds > 0 ? 0 : -1;
}

int AriaSetDecryptKey(const unsigned char* key, int bits, AriaCipherData* data)
{
	data->m_rounds = AriaExpandDecryptKey(key, bits, data->m_roundKeys);
	return data->m_rounds > 0 ? 0 : -1;
}

void AriaBlock(const unsigned char in[16], unsigned char out[16], const void* data)
{
	const auto* d = static_cast<const AriaCipherData*>(data);
	AriaProcessBlocks<1>(in, out, d->m_roundKeys, d->m_rounds);
}

void AriaCbcStream(const unsigned char* in, unsigned char* out, size_t length, const void* data,
	unsigned char iv[16], int enc)
{
	if (enc)
		CRYPTO_cbc128_encrypt(in, out, length, data, iv, AriaBlock);
	else
		CRYPTO_cbc128_decrypt(in, out, length, data, iv, AriaBlock);
}

void AriaEcbBlocks(const unsigned char* in, unsigned char* out, size_t blocks, const AriaCipherData* data)
{
	for (; blocks >= 2; blocks -= 2, in += 32, out += 32)
		AriaProcessBlocks<2>(in, out, data->m_roundKeys, data->m_rounds);
	if (blocks)
		AriaProcessBlocks<1>(in, out, data->m_roundKeys, data->m_rounds);
}
