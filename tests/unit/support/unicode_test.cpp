#include "support/unicode.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/tool_run.hpp"

namespace ostrel {
namespace {

TEST(UniIsInvisible, Table) {
    const char32_t invisible[] = {0x0000, 0x0009,  0x001F,  0x0020,  0x007F,   0x0085,  0x009F,
                                  0x00A0, 0x00AD,  0x061C,  0x180E,  0x200B,   0x200F,  0x202A,
                                  0x202E, 0x2028,  0x2029,  0x2060,  0x2064,   0x2066,  0x2069,
                                  0x3000, 0xFEFF,  0xD800,  0xDFFF,  0xFDD0,   0xFDEF,  0xFFFE,
                                  0xFFFF, 0x1FFFF, 0xE0001, 0xE007F, 0x10FFFE, 0x10FFFF};
    const char32_t visible[] = {'A',    '~',    0x00A1, 0x00E9, 0x0300, 0x2010,  0x2019,  0x2065,
                                0x4F8B, 0xE000, 0xFDCF, 0xFDF0, 0xFFFD, 0x1F600, 0x10FFFD};
    for (char32_t cp : invisible)
        EXPECT_TRUE(uni_is_invisible(cp)) << std::hex << static_cast<uint32_t>(cp);
    for (char32_t cp : visible)
        EXPECT_FALSE(uni_is_invisible(cp)) << std::hex << static_cast<uint32_t>(cp);
}

// Every code point, against the categories of Python's Unicode database.
TEST(UniIsInvisible, AgreesWithPythonEverywhere) {
    int status = -1;
    const std::string want = test::run_command(
        "/usr/bin/python3 -c \"import sys, unicodedata as u\n"
        "cats = {'Cc', 'Cf', 'Zs', 'Zl', 'Zp', 'Cs'}\n"
        "def bad(c): return u.category(chr(c)) in cats or 0xFDD0 <= c <= 0xFDEF or c % 0x10000 >= "
        "0xFFFE\n"
        "sys.stdout.write(''.join('1' if bad(c) else '0' for c in range(0x110000)))\"",
        &status);
    ASSERT_EQ(status, 0) << "python3 did not run";
    ASSERT_EQ(want.size(), 0x110000u);
    for (char32_t cp = 0; cp < 0x110000; ++cp)
        ASSERT_EQ(uni_is_invisible(cp), want[cp] == '1') << std::hex << static_cast<uint32_t>(cp);
}

TEST(UniAllVisible, Table) {
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {"", true},
        {"b\xc3\xbc"
         "cher.example",
         true},
        {"\xe4\xbe\x8b\xe3\x81\x88", true},
        {"a b", false},
        {"a\x01", false},
        {"\xc2\xa0", false},
        {"x\xe2\x80\x8by", false},
        {"\xef\xbb\xbf", false},
        {"\xc3", false},              // cut short
        {"\x80", false},              // no lead byte
        {"\xc0\xaf", false},          // overlong
        {"\xed\xa0\x80", false},      // surrogate
        {"\xf4\x90\x80\x80", false},  // past U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(uni_all_visible(c.text), c.ok) << test::to_hex(c.text);
}

}  // namespace
}  // namespace ostrel
