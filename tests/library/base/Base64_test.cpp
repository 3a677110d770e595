#include "base/Base64.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <random>

namespace
{

std::string Encode(const std::string& data, bool lineBreaks = false)
{
	std::string out = "stale";
	Base64::Encode(data.data(), data.size(), out, lineBreaks);
	return out;
}

std::string OpenSslEncode(const std::string& data)
{
	std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
	out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
		reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()))));
	return out;
}

} // namespace

// OpenSSL is the oracle for every padding length, with and without line breaks.
TEST(Base64, MatchesOpenSslWithLineBreaksBetweenGroupsEvery76Characters)
{
	std::mt19937 random(4648);
	for (size_t size = 0; size < 400; ++size)
	{
		std::string data(size, '\0');
		for (char& c : data)
			c = static_cast<char>(random());
		ASSERT_EQ(OpenSslEncode(data), Encode(data)) << size;
	}
	const std::string data(200, '\xA5');
	std::string expected = OpenSslEncode(data);
	for (size_t at : { 228, 152, 76 })
		expected.insert(at, "\n");
	EXPECT_EQ(expected, Encode(data, true));
	EXPECT_EQ(OpenSslEncode(std::string(57, 'a')), Encode(std::string(57, 'a'), true));
}
