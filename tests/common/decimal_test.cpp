#include "common/decimal.h"

#include <gtest/gtest.h>

#include <string>

TEST(Decimal, ReadsTheLeadingNumberLikeAtoi) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"", 0},
        {"abc", 0},
        {"+4", 4},
        {" 3", 3},
        {"\t\n\v\f\r 3x", 3},
        {"\xa0"
         "5",
         0},  // only the C locale's white space is skipped
        {"2.9", 2},
        {"-5", -5},
        {"+-3", 0},
        {"- 3", 0},
        {"\xff\x80", 0},
        {"%s%n", 0},
        {"0000000000000000000004", 4},
        {"0x10", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(common::parseDecimal(c.text), c.value) << "'" << c.text << "'";
    EXPECT_EQ(common::parseDecimal(nullptr), 0);
}

TEST(Decimal, SaturatesBeyondTheThirtyTwoBitRange) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999", INT32_MAX},
        {"4294967297", INT32_MAX},  // would wrap to 1 in 32 bits
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(common::parseDecimal(c.text), c.value) << "'" << c.text << "'";
    const std::string endless(100000, '9');
    EXPECT_EQ(common::parseDecimal(endless.c_str()), INT32_MAX);
    EXPECT_EQ(common::parseDecimal(("-" + endless).c_str()), INT32_MIN);
}
