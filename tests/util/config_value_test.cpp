#include "util/config_value.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace kestrum {
namespace {

TEST(ConfigValue, LeadingIntReadsLikeAtoiAndSaturates) {
    struct Case {
        std::string text;
        int64_t asInt, asInt64;
    } cases[] = {
        {"12", 12, 12},
        {" \t\n\v\f\r7x", 7, 7},
        {"-3", -3, -3},
        {"+4", 4, 4},
        {"", 0, 0},
        {"abc", 0, 0},
        {"+-5", 0, 0},
        {"- 5", 0, 0},
        {"1.9", 1, 1},
        {"\xA3\xB1", 0, 0},  // a full-width digit is no digit here
        {"2147483647", INT_MAX, INT_MAX},
        {"2147483648", INT_MAX, 2147483648LL},
        {"-2147483648", INT_MIN, -2147483648LL},
        {"-2147483649", INT_MIN, -2147483649LL},
        {"99999999999", INT_MAX, 99999999999LL},
        {"9223372036854775807", INT_MAX, INT64_MAX},
        {"9223372036854775808", INT_MAX, INT64_MAX},
        {"-9223372036854775808", INT_MIN, INT64_MIN},
        {"-99999999999", INT_MIN, -99999999999LL},
        {"-99999999999999999999999", INT_MIN, INT64_MIN},
        {"000000000000000000000000042", 42, 42},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(leadingInt(c.text), c.asInt) << c.text;
        EXPECT_EQ(leadingInt64(c.text), c.asInt64) << c.text;
    }
}

TEST(ConfigValue, ConfigNumberFallsBackAndCaps) {
    struct Case {
        std::string text;
        int64_t expected;
    } cases[] = {
        // A port: 1 to 65535, else 3306.
        {"", 3306},
        {"3307", 3307},
        {" 3307 ", 3307},
        {"0", 3306},
        {"-1", 3306},
        {"abc", 3306},
        {"70000", 65535},
        {"99999999999999999999", 65535},
        {"-99999999999999999999", 3306},
    };
    for (const Case& c : cases)
        EXPECT_EQ(configNumber(c.text, 3306, 1, 65535), c.expected) << c.text;
    // A count where 0 is a value of its own.
    EXPECT_EQ(configNumber("0", 7, 0, 10), 0);
    EXPECT_EQ(configNumber("-2", 7, 0, 10), 7);
    EXPECT_EQ(configNumber("x", 7, 0, 10), 0);
}

}  // namespace
}  // namespace kestrum
