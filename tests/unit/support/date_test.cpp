#include "support/date.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace ostrel {
namespace {

TEST(DateNames, TablesAndBounds) {
    EXPECT_STREQ(date_month_abbr(1), "Jan");
    EXPECT_STREQ(date_month_abbr(12), "Dec");
    EXPECT_STREQ(date_month_abbr(13), "");
    EXPECT_STREQ(date_month_name(2), "February");
    EXPECT_STREQ(date_month_name(13), "");
    EXPECT_STREQ(date_weekday_abbr(0), "Sun");
    EXPECT_STREQ(date_weekday_abbr(6), "Sat");
    EXPECT_STREQ(date_weekday_abbr(7), "Sun");
    EXPECT_STREQ(date_weekday_abbr(8), "");
    EXPECT_STREQ(date_weekday_name(3), "Wednesday");
    EXPECT_STREQ(date_weekday_name(7), "Sunday");
    EXPECT_STREQ(date_weekday_2(4), "Th");
    EXPECT_STREQ(date_weekday_2(7), "Su");
    EXPECT_STREQ(date_weekday_2(8), "");
    // Constant texts, not copies.
    EXPECT_EQ(date_month_abbr(5), date_month_abbr(5));
}

TEST(DateOrdinalSuffix, EnglishRules) {
    struct row {
        int n;
        const char* s;
    } rows[] = {{1, "st"},   {2, "nd"},   {3, "rd"},    {4, "th"},    {11, "th"},  {12, "th"},
                {13, "th"},  {21, "st"},  {22, "nd"},   {23, "rd"},   {101, "st"}, {111, "th"},
                {112, "th"}, {113, "th"}, {1011, "th"}, {1021, "st"}, {0, "th"},   {-1, "th"}};
    for (const auto& r : rows) EXPECT_STREQ(date_ordinal_suffix(r.n), r.s) << r.n;
}

TEST(DateRangeBounds, Neighbours) {
    struct row {
        int date;
        char precision;
        int before, after;
    } rows[] = {
        {20240315, 'd', 20240314, 20240316},
        {20240301, 'd', 20240229, 20240302},
        {20230301, 'd', 20230228, 20230302},
        {20240430, 'd', 20240429, 20240501},
        {20240131, 'd', 20240130, 20240201},
        {20241231, 'd', 20241230, 20250101},
        {20240101, 'd', 20231231, 20240102},
        {20240228, 'd', 20240227, 20240229},
        {20230228, 'd', 20230227, 20230301},
        {20240229, 'd', 20240228, 20240301},
        {20240501, 'd', 20240430, 20240502},
        {20240801, 'd', 20240731, 20240802},
        // Century years follow the Gregorian rule.
        {21000301, 'd', 21000228, 21000302},
        {21000228, 'd', 21000227, 21000301},
        {20000301, 'd', 20000229, 20000302},
        {19000228, 'd', 19000227, 19000301},
        {20240500, 'm', 20240400, 20240600},
        {20240100, 'm', 20231200, 20240200},
        {20241200, 'm', 20241100, 20250100},
        {20240000, 'y', 20230000, 20250000},
        {20240000, 'x', 20230000, 20250000},
        {20240000, '\0', 20230000, 20250000},
        {20240500, '\0', 20240400, 20240600},
        {20240515, '\0', 20240514, 20240516},
    };
    for (const auto& r : rows) {
        int before = -1, after = -1;
        EXPECT_EQ(date_range_bounds(r.date, r.precision, &before, &after), 1);
        EXPECT_EQ(before, r.before) << r.date << " " << r.precision;
        EXPECT_EQ(after, r.after) << r.date << " " << r.precision;
    }
}

TEST(RandString, DrawsFromTheSet) {
    char out[64];
    std::srand(1);
    EXPECT_EQ(rand_string(out, "ab", 4), out);
    EXPECT_EQ(std::strlen(out), 4u);
    EXPECT_EQ(std::string(out).find_first_not_of("ab"), std::string::npos);
    EXPECT_STREQ(rand_string(out, "ab", 0), "");
    EXPECT_STREQ(rand_string(out, "ab", -1), "");
    rand_string(out, nullptr, 62);
    EXPECT_EQ(std::strlen(out), 62u);
    EXPECT_EQ(std::string(out).find_first_not_of(rand_default_charset), std::string::npos);
    EXPECT_EQ(std::strlen(rand_default_charset), 62u);
    EXPECT_STREQ(rand_string(out, "", 5), "");  // an empty set gives nothing
}

TEST(Charset, SpanAndWholeText) {
    EXPECT_EQ(str_span_charset("12.34", ".0123456789", 5), 1);
    EXPECT_EQ(str_span_charset("12:34", ".0123456789", 5), 0);
    EXPECT_EQ(str_span_charset("12:34", ".0123456789", 2), 1);
    EXPECT_EQ(str_span_charset("::", ".0", 0), 1);
    EXPECT_EQ(str_span_charset(nullptr, ".0", 3), 0);
    EXPECT_EQ(str_span_charset("abc", nullptr, 3), 1);
    // n past the terminator stops there instead of reading on.
    char small[3] = {'1', '2', '\0'};
    EXPECT_EQ(str_span_charset(small, "0123456789", 100), 1);
    EXPECT_EQ(str_in_charset("abc", "cba"), 1);
    EXPECT_EQ(str_in_charset("abd", "cba"), 0);
    EXPECT_EQ(str_in_charset("", "x"), 1);
    EXPECT_EQ(str_in_charset(nullptr, "x"), 0);
    EXPECT_EQ(str_in_charset("a-b", nullptr), 0);
}

TEST(StrUnescape, InPlace) {
    struct row {
        const char *in, *out;
    } rows[] = {{"a\\tb", "a\tb"},  {"\\n\\r\\\\", "\n\r\\"}, {"plain", "plain"},
                {"a\\qb", "a\\qb"}, {"end\\", "end\\"},       {"", ""}};
    for (const auto& r : rows) {
        std::string buf = r.in;
        EXPECT_STREQ(str_unescape(buf.data()), r.out) << r.in;
    }
}

TEST(DynamicLoading, OpenLookUpClose) {
    void* m = file_dlopen("libc.so.6");
    ASSERT_NE(m, nullptr);
    EXPECT_NE(file_dlsym(m, "strlen"), nullptr);
    EXPECT_EQ(file_dlsym(m, "no_such_symbol_here"), nullptr);
    EXPECT_EQ(file_dlclose(m), 0);
    EXPECT_EQ(file_dlopen("libno-such-library.so"), nullptr);
    EXPECT_EQ(file_dlclose(nullptr), 1);
}

}  // namespace
}  // namespace ostrel
