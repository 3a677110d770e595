#include "base/NoCaseLess.h"

#include <gtest/gtest.h>
#include <random>
#include <strings.h>

TEST(NoCaseLess, OrdersLikeStrcasecmp)
{
	// Letters of both cases and the bytes between and around them, where folding
	// to lower case (not upper) decides the order: "_" sorts before letters.
	const std::string alphabet = std::string("aAbBzZ_[@`{~09 ") + "\xC0\xE9\x80";
	std::mt19937 random(7);
	auto word = [&] {
		std::string w;
		for (int n = random() % 5; n > 0; --n)
			w += alphabet[random() % alphabet.size()];
		return w;
	};
	const NoCaseLess less;
	for (int i = 0; i < 20000; ++i)
	{
		const std::string a = word(), b = word();
		const int oracle = strcasecmp(a.c_str(), b.c_str());
		ASSERT_EQ(oracle < 0, less(a, b)) << a << " / " << b;
		ASSERT_EQ(oracle > 0, less(b, a)) << a << " / " << b;
	}
	EXPECT_FALSE(less(std::string("ab\0z", 4), "AB")); // compared up to the NUL
}
