#include "PKI/has160.h"

#include "support/Shell.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace
{

std::string Hex(const unsigned char* p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; ++i)
		s += {digits[p[i] >> 4], digits[p[i] & 15]};
	return s;
}

// Feeds `data` in pieces of the given sizes, cycling; zero means one update.
std::string Digest(const void* data, size_t length, std::vector<size_t> pieces = {0})
{
	Has160Context ctx;
	Has160Init(&ctx);
	const auto* p = static_cast<const unsigned char*>(data);
	for (size_t done = 0, i = 0; done < length; ++i) {
		size_t n = pieces[i % pieces.size()];
		n = n == 0 || n > length - done ? length - done : n;
		Has160Update(&ctx, p + done, n);
		done += n;
	}
	unsigned char out[20];
	Has160Final(&ctx, out);
	return Hex(out, sizeof(out));
}

// The first word that the rhash command prints for a shell input.
std::string Rhash(const std::string& input)
{
	return Shell(input + " | rhash --has160 -").substr(0, 40);
}

} // namespace

TEST(Has160, StandardVectorsWholeAndInPieces)
{
	const struct
	{
		std::string message;
		const char* digest;
	} cases[] = {
		{"", "307964ef34151d37c8047adec7ab50f4ff89762d"},
		{"a", "4872bcbc4cd0f0a9dc7c2f7045e5b43b6c830db8"},
		{"abc", "975e810488cf2a3d49838478124afce4b1c78804"},
		{"message digest", "2338dbc8638d31225f73086246ba529f96710bc6"},
		{"abcdefghijklmnopqrstuvwxyz", "596185c9ab6703d0d0dbb98702bc0f5729cd1d3c"},
		{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
			"cb5d7efbca2f02e0fb7167cabb123af5795764e5"},
		{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
			"07f05c8c0773c55ca3a5a695ce6aca4c438911b5"},
		{std::string(1000000, 'a'), "d6ad6f0608b878da9b87999c2525cc84f4c9f18d"},
	};
	for (const auto& c : cases) {
		SCOPED_TRACE(c.message.substr(0, 20));
		EXPECT_EQ(c.digest, Digest(c.message.data(), c.message.size()));
		EXPECT_EQ(c.digest, Digest(c.message.data(), c.message.size(), {1, 63, 64, 65}));
	}
}

// rhash is the oracle on random messages around the lengths where the final
// padding needs one block or two.
TEST(Has160, MatchesRhashAroundPaddingEdges)
{
	TempFolder temp;
	const std::string file = temp.Path() + "/message";
	std::mt19937 rng(160);
	for (size_t length : {0, 1, 54, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000}) {
		std::string message(length, '\0');
		for (char& c : message)
			c = static_cast<char>(rng());
		std::ofstream(file, std::ios::binary) << message;
		EXPECT_EQ(Rhash("cat " + file), Digest(message.data(), length, {1 + rng() % 70})) << length;
	}
}

// A single update of 512 MiB and more: the bit count must not wrap at 32 bits.
TEST(Has160, SingleUpdateBeyond512MiB)
{
	const size_t length = (size_t(1) << 29) + 3;
	void* zeros = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(MAP_FAILED, zeros);
	const std::string ours = Digest(zeros, length);
	munmap(zeros, length);
	EXPECT_EQ(Rhash("head -c " + std::to_string(length) + " /dev/zero"), ours);
}
