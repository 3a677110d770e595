#include "agent/StartUrl.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

namespace
{

// The start options, or port -1 for a refused start.
std::pair<bool, int> Start(const std::string& commandLine)
{
	StartOptions options;
	if (!ReadStartUrl(commandLine, &options))
		return { false, -1 };
	return { options.useTls, options.port };
}

} // namespace

TEST(StartUrl, QueryPairsMatchTheRegularExpression)
{
	// The standard library's regular expression is the oracle, over random
	// texts of the characters that matter.
	const std::regex pattern("([\\w+%]+)=([^&]*)");
	const std::string alphabet = "ab_+%=&.?/ 9";
	std::mt19937 random(7);
	for (int round = 0; round < 5000; ++round)
	{
		std::string query;
		for (int i = random() % 16; i > 0; --i)
			query += alphabet[random() % alphabet.size()];
		std::map<std::string, std::string> expected;
		for (std::sregex_iterator it(query.begin(), query.end(), pattern), end; it != end; ++it)
			expected[(*it)[1]] = (*it)[2];
		ASSERT_EQ(expected, ParseQueryString(query)) << query;
	}
	EXPECT_EQ((std::map<std::string, std::string> { { "port", "5" } }), ParseQueryString("a.port=5"));
	// A long value is no trouble (no recursion per character).
	EXPECT_EQ(200000u, ParseQueryString("x=" + std::string(200000, 'v'))["x"].size());
}

TEST(StartUrl, CommandLines)
{
	EXPECT_EQ(std::make_pair(false, 8080), Start("zimraCert://start/?port=8080"));
	EXPECT_EQ(std::make_pair(true, 8080), Start("zimraCerts://start/?port=8080"));
	// Browsers hand the scheme on in lower case; any case is accepted.
	EXPECT_EQ(std::make_pair(false, 8080), Start("zimracert://start/?port=8080"));
	EXPECT_EQ(std::make_pair(true, 8080), Start("ZIMRACERTS://start/?port=8080"));
	EXPECT_EQ(std::make_pair(false, 9001), Start("zimraCert://x/?t=1&port=9000&port=9001"));
	EXPECT_EQ(std::make_pair(false, 9000), Start("zimraCert://x/?port=9000/"));
	EXPECT_EQ(std::make_pair(false, 65533), Start("zimraCert://x/?port=65533"));
	EXPECT_EQ(std::make_pair(false, 7), Start("zimraCert://x/?port= +7"));
	// Quoted, with text before it, or with the "/?" before the scheme.
	EXPECT_EQ(std::make_pair(true, 9000), Start("\"zimraCerts://start/?port=9000\""));
	EXPECT_EQ(std::make_pair(false, 9000), Start("--flag zimraCert://start/?port=9000"));
	EXPECT_EQ(std::make_pair(false, 9000), Start("/?port=9000 zimraCert://start/?port=1"));

	for (const char* refused : { "", "http://x/?port=8080", "zimraCert:/x/?port=8080", "zimraCert://x/?Port=9000",
			 "zimraCert://x/?", "zimraCert://x?port=9000", "zimraCert://x/?port=65534", "zimraCert://x/?port=65535",
			 "zimraCert://x/?port=0", "zimraCert://x/?port=-1", "zimraCert://x/?port=", "zimraCert://x/?port=abc",
			 "zimraCert://x/?port=4294975296", "zimraCert://x/?port=99999999999999999999" })
		EXPECT_EQ(std::make_pair(false, -1), Start(refused)) << refused;
}
