#include "base/Exception.h"

#include <gtest/gtest.h>

TEST(Exception, CaughtByValueKeepsMessageAndFixedDetail)
{
	try {
		throw Exception("Must be type: Object");
	} catch (const Exception& e) {
		EXPECT_EQ("Must be type: Object", e.Message());
		EXPECT_EQ("Not available", e.Detail());
	}
	Exception empty("");
	EXPECT_EQ("", empty.Message());
	EXPECT_EQ("Not available", empty.Detail());
}
