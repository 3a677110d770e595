#include "base/Mt19937.h"

#include <gtest/gtest.h>
#include <random>
#include <sstream>

namespace {

// The 624 state words std::mt19937 writes out; after a multiple of 624
// outputs they are exactly the block our untempered generator hands out next.
std::vector<std::uint32_t> StateOf(const std::mt19937& engine)
{
	std::stringstream text;
	text << engine;
	std::vector<std::uint32_t> words(624);
	for (auto& w : words)
		text >> w;
	return words;
}

}

TEST(Mt19937, HandsOutTheUntemperedStateOfTheStandardGenerator)
{
	for (std::uint32_t seed : {5489u, 0u, 0xFFFFFFFFu, 20240131u})
	{
		Mt19937 ours(seed);
		std::mt19937 reference(seed);
		for (int block = 0; block < 3; ++block)
		{
			const auto expected = StateOf(reference);
			for (int i = 0; i < 624; ++i)
				ASSERT_EQ(expected[i], ours.Next()) << "seed " << seed << " block " << block << " word " << i;
			reference.discard(624);
		}
	}
}
