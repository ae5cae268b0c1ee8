#include "platform/number.hpp"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

struct atoi_case {
    const char* text;
    int32_t want;
};

TEST(PlatAtoi, ParsesLikeThe32BitRuntime) {
    const atoi_case cases[] = {
        {nullptr, 0},
        {"", 0},
        {"abc", 0},
        {"42", 42},
        {"  \t\n42xyz", 42},
        {"+7", 7},
        {"-5", -5},
        {"- 5", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999", INT32_MIN},
        {"0070000", 70000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(plat_atoi(c.text), c.want) << (c.text ? c.text : "(null)");
}

struct u64_case {
    const char* text;
    uint64_t want;
};

TEST(PlatStrtoui64, ParsesDecimalUnsigned) {
    const u64_case cases[] = {
        {nullptr, 0},
        {"", 0},
        {"1700000000", 1700000000u},
        {"  18446744073709551615", UINT64_MAX},
        {"18446744073709551616", UINT64_MAX},
        {"-1", UINT64_MAX},
        {"-2", UINT64_MAX - 1},
        {"-99999999999999999999", UINT64_MAX},
        {"12ab", 12},
    };
    for (const auto& c : cases)
        EXPECT_EQ(plat_strtoui64(c.text), c.want) << (c.text ? c.text : "(null)");
}

}  // namespace
}  // namespace ostrel
