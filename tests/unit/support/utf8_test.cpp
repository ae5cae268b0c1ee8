#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/tool_run.hpp"

namespace ostrel {
namespace {

// Decodes from a heap buffer of exactly the text's size, so that a read past
// its end is caught under the sanitizers.
size_t decode_exact(const std::string& text, char32_t* cp) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    return utf8_decode(bytes.data(), bytes.size(), cp);
}

TEST(Utf8, DecodesWholeCharactersAndRefusesTheRest) {
    struct row {
        std::string bytes;
        size_t length;  // 0: no character
        char32_t cp;
    };
    const row rows[] = {
        {"A", 1, 'A'},
        {std::string(1, '\0'), 1, 0},
        {"\x7f", 1, 0x7F},
        {"\xc2\x80", 2, 0x80},
        {"\xc3\xa9z", 2, 0xE9},  // only the first character
        {"\xdf\xbf", 2, 0x7FF},
        {"\xe0\xa0\x80", 3, 0x800},
        {"\xe2\x82\xac", 3, 0x20AC},
        {"\xef\xbf\xbf", 3, 0xFFFF},
        {"\xf0\x90\x80\x80", 4, 0x10000},
        {"\xf0\x9f\x98\x80", 4, 0x1F600},
        {"\xf4\x8f\xbf\xbf", 4, 0x10FFFF},
        {"", 0, 0},
        {"\x80", 0, 0},              // continuation byte without a lead
        {"\xbf\x80", 0, 0},          //
        {"\xc3", 0, 0},              // cut off at the end of the text
        {"\xe2\x82", 0, 0},          //
        {"\xf0\x9f\x98", 0, 0},      //
        {"\xc3z", 0, 0},             // continuation byte missing
        {"\xe2\x82z", 0, 0},         //
        {"\xc0\x80", 0, 0},          // overlong forms
        {"\xc1\xbf", 0, 0},          //
        {"\xe0\x9f\xbf", 0, 0},      //
        {"\xf0\x8f\xbf\xbf", 0, 0},  //
        {"\xed\xa0\x80", 0, 0},      // surrogates
        {"\xed\xbf\xbf", 0, 0},      //
        {"\xf4\x90\x80\x80", 0, 0},  // past U+10FFFF
        {"\xf5\x80\x80\x80", 0, 0},  //
        {"\xf8\x88\x80\x80\x80", 0, 0},
        {"\xff", 0, 0},
    };
    for (const row& r : rows) {
        char32_t cp = 0xABCD;
        EXPECT_EQ(decode_exact(r.bytes, &cp), r.length) << testing::PrintToString(r.bytes);
        if (r.length) {
            EXPECT_EQ(cp, r.cp) << testing::PrintToString(r.bytes);
        }
    }
}

// Every one- and two-byte text and three- and four-byte texts over the bytes
// where the rules change, against Python's strict UTF-8 decoder.
TEST(Utf8, DecodesAsAnIndependentDecoder) {
    const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F,
                                   0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0, 0xFF};
    std::vector<std::string> texts;
    for (int a = 0; a < 256; ++a) {
        texts.push_back(std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b) texts.push_back({static_cast<char>(a), static_cast<char>(b)});
    }
    for (int a = 0xE0; a < 0x100; ++a) {
        for (unsigned char b : edges) {
            for (unsigned char c : edges) {
                std::string t{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
                texts.push_back(t);
                for (unsigned char d : edges) texts.push_back(t + static_cast<char>(d));
            }
        }
    }
    test::scratch_dir dir;
    auto want = test::python_map(dir,
                                 "    n, cp = 0, 0\n"
                                 "    for k in range(1, min(4, len(data)) + 1):\n"
                                 "        try:\n"
                                 "            s = data[:k].decode('utf-8')\n"
                                 "        except UnicodeDecodeError:\n"
                                 "            continue\n"
                                 "        if len(s) == 1:\n"
                                 "            n, cp = k, ord(s)\n"
                                 "        break\n"
                                 "    out(bytes([n]) + cp.to_bytes(4, 'big'))\n",
                                 texts);
    ASSERT_EQ(want.size(), texts.size()) << "python3 did not run";
    size_t differences = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
        const size_t n = static_cast<unsigned char>(want[i][0]);
        char32_t cp = 0;
        for (int k = 1; k <= 4; ++k) cp = (cp << 8) | static_cast<unsigned char>(want[i][k]);
        char32_t got = 0;
        size_t len = decode_exact(texts[i], &got);
        if (len != n || (n && got != cp)) {
            if (++differences < 10) ADD_FAILURE() << testing::PrintToString(texts[i]);
        }
    }
    EXPECT_EQ(differences, 0u);
}

TEST(Utf8, ByteClasses) {
    for (int b = 0; b < 256; ++b) {
        const auto c = static_cast<unsigned char>(b);
        const size_t want = b < 0x80   ? 1
                            : b < 0xC0 ? 0
                            : b < 0xE0 ? 2
                            : b < 0xF0 ? 3
                            : b < 0xF8 ? 4
                                       : 0;
        EXPECT_EQ(utf8_lead_length(c), want) << b;
        EXPECT_EQ(utf8_is_continuation(c), b >= 0x80 && b < 0xC0) << b;
        EXPECT_EQ(utf8_is_lead(c), b >= 0xC0) << b;
    }
}

TEST(Utf8, SequenceStart) {
    struct row {
        std::string text;
        size_t k;
        size_t want;
    };
    const row rows[] = {
        {"abc", 1, 1},                    // not a continuation byte
        {"a\xc3\xa9", 2, 1},              // back to the lead byte
        {"a\xf0\x9f\x98\x80", 4, 1},      // three continuation bytes back
        {"a\xf0\x9f\x98\x80\x80", 5, 2},  // no further than three bytes
        {"\x80\x80z", 1, 0},              // never before the start
        {"a\x80\x80", 2, 0},              // an ASCII byte ends the walk too
        {"\xe2\x82\xac\xe2\x82", 4, 3},   // a cut-off sequence
        {"\xe2\x82\xac", 0, 0},           //
    };
    for (const row& r : rows)
        EXPECT_EQ(utf8_sequence_start(r.text.c_str(), r.k), r.want)
            << testing::PrintToString(r.text) << " at " << r.k;
}

}  // namespace
}  // namespace ostrel
