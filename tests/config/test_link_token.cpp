#include <gtest/gtest.h>

#include <set>

#include "config/link_token.h"

TEST(LinkToken, TwentyEightCharactersOfTheAlphabet)
{
	const std::string alphabet =
		"ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";
	std::set<char> seen;
	std::set<std::string> tokens;
	for (int i = 0; i < 200; i++) {
		const std::string token = makeLinkToken();
		ASSERT_EQ(token.size(), 28u);
		for (char c : token) {
			ASSERT_NE(alphabet.find(c), std::string::npos) << c;
			seen.insert(c);
		}
		tokens.insert(token);
	}
	// 5,600 draws reach every one of the 56 characters, and no two
	// tokens are alike.
	EXPECT_EQ(seen.size(), alphabet.size());
	EXPECT_EQ(tokens.size(), 200u);
}
