#include "support/str.hpp"
#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};
using heap_str = std::unique_ptr<char, free_deleter>;

// A stream over exactly these bytes (NUL bytes included).
struct mem_stream {
    std::string bytes;
    FILE* f;
    explicit mem_stream(std::string b) : bytes(std::move(b)) {
        f = tmpfile();
        fwrite(bytes.data(), 1, bytes.size(), f);
        rewind(f);
    }
    ~mem_stream() { fclose(f); }
};

std::vector<std::string> wrap_all(const char* text, int width) {
    std::vector<std::string> lines;
    const char* cur = text;
    std::vector<char> out(static_cast<size_t>(width) + 1, 'Z');
    while (char* line = str_wrap_line(&cur, out.data(), width)) {
        EXPECT_LE(std::strlen(line), static_cast<size_t>(width));
        lines.emplace_back(line);
        if (lines.size() > 100) break;  // a scanner that stops moving
    }
    return lines;
}

std::vector<std::string> next_lines(const char* text, const char* end) {
    std::vector<std::string> lines;
    const char* cur = text;
    uint32_t len = 99;
    while (const char* line = str_next_line(&cur, &len, end)) {
        lines.emplace_back(line, len);
        if (lines.size() > 100) break;
    }
    EXPECT_EQ(len, 0u);
    return lines;
}

}  // namespace

TEST(StrCase, MapsOnlyAsciiLetters) {
    char text[] = "aZ09\xC4\xE4-";
    EXPECT_EQ(str_toupper(text), text);
    EXPECT_STREQ(text, "AZ09\xC4\xE4-");
    EXPECT_EQ(str_tolower(text), text);
    EXPECT_STREQ(text, "az09\xC4\xE4-");
    EXPECT_EQ(str_char_tolower('Q'), 'q');
    EXPECT_EQ(str_char_toupper('q'), 'Q');
    EXPECT_EQ(str_char_toupper(0xE4), 0xE4);
    EXPECT_EQ(str_char_tolower(-60), 0xC4);  // a signed char is used as its byte
    for (int i = 0; i < 256; ++i) {
        uint32_t want = (i >= 'a' && i <= 'z') ? static_cast<uint32_t>(i - 32) : i;
        ASSERT_EQ(str_upper_fold_table[i], want) << i;
    }
}

TEST(StrCase, Abs) {
    EXPECT_EQ(str_abs(-5), 5);
    EXPECT_EQ(str_abs(7), 7);
    EXPECT_EQ(str_abs(INT_MIN), INT_MIN);
}

TEST(StrCopy, BoundedCopyAndAppend) {
    struct row {
        const char* before;  // nullptr: str_copy, else str_append onto it
        const char* src;
        size_t size;
        const char* after;
    };
    const row rows[] = {
        {nullptr, "abcdef", 4, "abc"}, {nullptr, "abc", 4, "abc"},  {nullptr, "abc", 1, ""},
        {nullptr, "", 4, ""},          {"abc", "defg", 6, "abcde"}, {"abcde", "fg", 6, "abcde"},
        {"", "xy", 3, "xy"},           {"ab", "", 6, "ab"},
    };
    for (const row& r : rows) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        char* got;
        if (r.before) {
            std::strcpy(buf, r.before);
            got = str_append(buf, r.src, r.size);
        } else {
            got = str_copy(buf, r.src, r.size);
        }
        EXPECT_EQ(got, buf) << r.src;
        EXPECT_STREQ(buf, r.after) << r.src;
        EXPECT_EQ(buf[r.size], r.before && std::strlen(r.before) >= r.size ? buf[r.size] : '#')
            << "wrote past the buffer for " << r.src;
    }
}

TEST(StrCopy, SizeZeroTouchesNothing) {
    char buf[8] = "keep";
    EXPECT_EQ(str_copy(buf, "x", 0), nullptr);
    EXPECT_EQ(str_append(buf, "x", 0), nullptr);
    EXPECT_EQ(str_append_int(buf, 1, 0), nullptr);
    EXPECT_EQ(str_append_u64(buf, 1, 0), nullptr);
    EXPECT_EQ(str_append_char(buf, 'x', 0), nullptr);
    EXPECT_STREQ(buf, "keep");
}

TEST(StrCopy, AppendNumbersAndBytes) {
    char buf[32] = "n=";
    str_append_int(buf, INT_MIN, sizeof buf);
    EXPECT_STREQ(buf, "n=-2147483648");
    str_copy(buf, "", sizeof buf);
    str_append_u64(buf, UINT64_MAX, sizeof buf);
    EXPECT_STREQ(buf, "18446744073709551615");
    char small[6] = "ab";
    str_append_u64(small, 123456, sizeof small);
    EXPECT_STREQ(small, "ab123");
    str_copy(small, "ab", sizeof small);
    str_append_char(small, 0, sizeof small);
    str_append_char(small, 'c', sizeof small);
    EXPECT_STREQ(small, "abc");
}

TEST(StrCopy, SprintfIsBounded) {
    char buf[8];
    EXPECT_EQ(str_sprintf(buf, sizeof buf, "%s-%d", "abcdef", 42), 9);
    EXPECT_STREQ(buf, "abcdef-");
}

TEST(StrCompare, CaseInsensitivePositions) {
    struct row {
        const char* a;
        const char* b;
        int n;  // -1: str_casecmp
        int want;
    };
    const row rows[] = {
        {"abc", "ABD", -1, -3},
        {"abd", "ABC", -1, 3},
        {"ab", "abc", -1, -3},
        {"abc", "ab", -1, 3},
        {"", "x", -1, -1},
        {"", "", -1, 0},
        {"Hello", "hELLO", -1, 0},
        {"\xC4", "Z", -1, 1},
        {"\xC4", "z", -1, 1},
        {"a", "\xC4", -1, -1},
        {"Subject", "SUBJECT: x", 7, 0},
        {"Subject", "SUBJECT: x", 8, -8},
        {"abc", "xyz", 0, 0},
        {"abc", "xyz", -7, 0},
        {"abX", "ABy", 2, 0},
        {"abX", "ABy", 3, -3},
    };
    for (const row& r : rows) {
        int got = r.n == -1 ? str_casecmp(r.a, r.b) : str_ncasecmp(r.a, r.b, r.n);
        EXPECT_EQ(got, r.want) << r.a << " / " << r.b << " n=" << r.n;
    }
}

TEST(StrCompare, CasestrReturnsTheWholeText) {
    const char* text = "Hello World";
    EXPECT_EQ(str_casestr(text, "WORLD"), text);
    EXPECT_EQ(str_casestr(text, "o w"), text);
    EXPECT_EQ(str_casestr(text, "worlds"), nullptr);
    EXPECT_EQ(str_casestr(text, ""), nullptr);
    EXPECT_EQ(str_casestr("", "a"), nullptr);
    const char* high = "x\xE4y";
    EXPECT_EQ(str_casestr(high, "\xE4Y"), high);
    EXPECT_EQ(str_casestr(high, "\xC4"), nullptr) << "high bytes have no case";
}

TEST(StrEdit, ReverseChompKeepAlnum) {
    char r[] = "abcd";
    EXPECT_STREQ(str_reverse(r), "dcba");
    char one[] = "";
    EXPECT_STREQ(str_reverse(one), "");
    char c[] = "line one\r\nrest";
    EXPECT_STREQ(str_chomp(c), "line one");
    char out[32];
    EXPECT_STREQ(str_keep_alnum("a-b c_9!\xC4", out), "ab c9");
    const char* src = "x-y";
    EXPECT_EQ(str_keep_alnum(src, nullptr), src);
}

TEST(StrTok, PlainAndQuoted) {
    struct row {
        const char* text;
        const char* delims;
        char quote;  // 0: str_tok
        std::vector<std::string> want;
    };
    const std::vector<row> rows = {
        {"  a,b,,c", " ,", 0, {"a", "b", "c"}},
        {"", " ", 0, {}},
        {",,,", ",", 0, {}},
        {"abc", ",", 0, {"abc"}},
        {"x |a b| y", " ", '|', {"x", "|a b|", "y"}},
        {"a |b c", " ", '|', {"a", "|b c"}},
        {"||,x", ",", '|', {"||", "x"}},
    };
    for (const row& r : rows) {
        std::string buf = r.text;
        char* save = nullptr;
        std::vector<std::string> got;
        char* text = buf.data();
        while (char* t = r.quote ? str_tok_quoted(text, r.delims, r.quote, &save)
                                 : str_tok(text, r.delims, &save)) {
            got.emplace_back(t);
            text = nullptr;
        }
        EXPECT_EQ(got, r.want) << r.text;
        EXPECT_EQ(*save, '\0') << r.text;
        // Once used up, it stays used up.
        EXPECT_EQ(str_tok(nullptr, r.delims, &save), nullptr);
    }
}

TEST(StrTok, TokenQuotedLeavesTextAlone) {
    struct row {
        const char* text;
        std::vector<std::string> want;
        int end_len;  // *len after the last call: 0 when only delimiters were left, else untouched
    };
    const std::vector<row> rows = {
        {"a;b", {"a", "b"}, 99},
        {";;a;\"b;c\";;", {"a", "\"b;c\""}, 0},
        {";;a;\"b;c\";", {"a", "\"b;c\""}, 99},
        {"", {}, 99},
    };
    for (const row& r : rows) {
        const std::string before = r.text;
        const char* save = nullptr;
        const char* text = r.text;
        std::vector<std::string> got;
        uint32_t len = 99;
        while (const char* t = str_token_quoted(text, ";", '"', &save, &len)) {
            got.emplace_back(t, len);
            text = nullptr;
            len = 99;
        }
        EXPECT_EQ(got, r.want) << before;
        EXPECT_EQ(static_cast<int>(len), r.end_len) << before;
        EXPECT_EQ(std::string(r.text), before);
    }
}

TEST(StrScan, FindAny) {
    const char* text = "abc:def";
    const char* out = nullptr;
    EXPECT_EQ(str_find_any(text, ":", &out, nullptr), text + 3);
    EXPECT_EQ(out, text + 3);
    EXPECT_EQ(str_find_any(text, "xyz", &out, nullptr), nullptr);
    EXPECT_EQ(out, text + 7);
    EXPECT_EQ(str_find_any(text, ":", &out, text + 2), nullptr);
    EXPECT_EQ(out, text + 2);
    EXPECT_EQ(str_find_any(text, ":", &out, text + 3), text + 3) << "the byte at end is tested";
    EXPECT_EQ(str_find_any(text, "", &out, text + 1), nullptr);
    EXPECT_EQ(out, text + 1);
    EXPECT_EQ(str_find_any("", ":", &out, nullptr), nullptr);
}

TEST(StrScan, NextLine) {
    struct row {
        std::string text;
        int end;  // -1: no end given
        std::vector<std::string> want;
    };
    const std::vector<row> rows = {
        {"a\r\nb\rc\nd", -1, {"a", "b", "c", "d"}},
        {"", -1, {}},
        {"\n\n", -1, {"", ""}},
        {"one\r\n", -1, {"one"}},
        {"abc\ndef", 5, {"abc", "d"}},
        {"abc\ndef", 4, {"abc"}},
        {"abc\ndef", 0, {}},
        {"ab\r\ncd", 3, {"ab"}},  // the LF at end is not read
        {"ab\ncd", 100, {"ab", "cd"}},
    };
    for (const row& r : rows) {
        const char* end = r.end < 0 ? nullptr : r.text.c_str() + r.end;
        EXPECT_EQ(next_lines(r.text.c_str(), end), r.want) << r.text << " end=" << r.end;
    }
}

TEST(StrScan, NextLineStopsAtEndOfUnterminatedBuffer) {
    // A mapped buffer has no terminator: nothing at or past end may be read.
    const std::string bytes = "x\r\ny\r";
    auto buf = std::make_unique<char[]>(bytes.size());
    std::memcpy(buf.get(), bytes.data(), bytes.size());
    const char* end = buf.get() + bytes.size();
    const std::vector<std::string> want = {"x", "y"};
    EXPECT_EQ(next_lines(buf.get(), end), want);
    const std::string plain = "abc";
    auto buf2 = std::make_unique<char[]>(plain.size());
    std::memcpy(buf2.get(), plain.data(), plain.size());
    EXPECT_EQ(next_lines(buf2.get(), buf2.get() + plain.size()), std::vector<std::string>{"abc"});
}

TEST(StrWrap, Lines) {
    struct row {
        const char* text;
        int width;
        std::vector<std::string> want;
    };
    const std::vector<row> rows = {
        {"hello world", 8, {"hello ", "world"}},
        {"abcd efgh", 4, {"abcd", "efgh"}},  // no empty line after the last full line
        {"abcdefghij", 4, {"abcd", "efgh", "ij"}},
        {"abcd\nx", 4, {"abcd", "x"}},  // the LF after a full line is that line's end
        {"abcd\r\nx", 4, {"abcd", "x"}},
        {"abcd \nx", 4, {"abcd", "x"}},
        {"abcd\n\nx", 4, {"abcd", "", "x"}},  // a real empty line stays
        {"abcd\n", 4, {"abcd", ""}},          // like 'abc\n': the text's end after a line end
        {"text\n", 78, {"text", ""}},
        {"", 10, {""}},
        {"a\r\nb\rc", 10, {"a", "b", "c"}},
        {"ab  cd", 3, {"ab ", "cd"}},  // one SP after a full line is skipped
        {"a\tb c", 3, {"a\tb", "c"}},
        {"x verylongword", 5, {"x ver", "ylong", "word"}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(wrap_all(r.text, r.width), r.want) << r.text << " width " << r.width;
    }
}

TEST(StrWrap, NeverCutsUtf8Sequence) {
    struct row {
        const char* text;
        int width;
        std::vector<std::string> want;
    };
    // \xC3\xA4 is a two-byte sequence, \xE2\x82\xAC three bytes.
    const std::vector<row> rows = {
        {"abc\xC3\xA4xyz", 4, {"abc", "\xC3\xA4xy", "z"}},
        {"a\xE2\x82\xAC\xE2\x82\xAC", 5, {"a\xE2\x82\xAC", "\xE2\x82\xAC"}},
        {"ab \xC3\xA4\xC3\xA4\xC3\xA4", 4, {"ab ", "\xC3\xA4\xC3\xA4", "\xC3\xA4"}},
        {"x \xE2\x82\xAC\xE2\x82\xAC", 4, {"x ", "\xE2\x82\xAC", "\xE2\x82\xAC"}},
        // Narrower than one sequence: bytes are cut, the scan still moves on.
        {"\xC3\xA4", 1, {"\xC3", "\xA4"}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(wrap_all(r.text, r.width), r.want) << r.text << " width " << r.width;
    }
}

TEST(StrStream, ReadStreamKeepsEveryByte) {
    const std::string rows[] = {std::string(), std::string("a\0b\r\n", 5), std::string(3000, 'q')};
    for (const std::string& bytes : rows) {
        mem_stream s(bytes);
        size_t len = 12345;
        heap_str text(file_read_stream(s.f, &len));
        ASSERT_TRUE(text);
        EXPECT_EQ(len, bytes.size());
        EXPECT_EQ(std::string(text.get(), len), bytes);
        EXPECT_EQ(text.get()[len], '\0');
    }
}

TEST(StrStream, ReadLinesMakesEveryLineEndCrlf) {
    struct row {
        std::string in;
        std::string want;
    };
    const std::string x1022(1022, 'x');
    const std::string x2000(2000, 'y');
    const std::vector<row> rows = {
        {"a\nb\r\nc", "a\r\nb\r\nc"},
        {"a\rb\n", "a\r\nb\r\n"},  // a lone CR ends a line and loses nothing
        {"a\r\rb", "a\r\n\r\nb"},
        {"a\r\r\n", "a\r\n\r\n"},
        {"\n\n", "\r\n\r\n"},
        {"", ""},
        {"last", "last"},
        {x2000 + "\n", x2000 + "\r\n"},
        {x1022 + "\r\n", x1022 + "\r\n"},  // CR ends one fgets piece, LF begins the next
        {x1022 + "\rz", x1022 + "\r\nz"},
        // A CR ending one read block and the LF opening the next.
        {std::string(65535, 'b') + "\r\nc", std::string(65535, 'b') + "\r\nc"},
    };
    for (const row& r : rows) {
        mem_stream s(r.in);
        heap_str text(file_read_lines_crlf(s.f));
        ASSERT_TRUE(text);
        EXPECT_EQ(std::string(text.get()), r.want) << r.in.substr(0, 20);
    }
}

// A NUL byte would cut a text where it stands: text readers refuse it, also
// from an endless source of zeros, which must end at once.
TEST(StrStream, TextReadersRefuseNulBytes) {
    const std::string nul("abc\0def\nghi\n", 12);
    {
        mem_stream s(nul);
        EXPECT_EQ(file_read_lines_crlf(s.f), nullptr);
    }
    struct row {
        int flags;
        int rc;
        std::string want;
    };
    const row rows[] = {
        {0, file_text_ok, nul},
        {file_text_crlf, file_text_ok, std::string("abc\0def\r\nghi\r\n", 14)},
        {file_text_no_nul, file_text_nul_byte, ""},
        {file_text_crlf | file_text_no_nul, file_text_nul_byte, ""},
    };
    for (const row& r : rows) {
        mem_stream s(nul);
        std::string out = "old";
        EXPECT_EQ(file_read_text(s.f, r.flags, &out), r.rc) << r.flags;
        EXPECT_EQ(out, r.want) << r.flags;
    }
    FILE* zero = std::fopen("/dev/zero", "rb");
    ASSERT_NE(zero, nullptr);
    std::string out;
    EXPECT_EQ(file_read_text(zero, file_text_crlf | file_text_no_nul, &out), file_text_nul_byte);
    EXPECT_EQ(file_read_lines_crlf(zero), nullptr);
    std::fclose(zero);
}

// The wrapper as a plain byte loop that measures each word whole: the
// faster wrapper must cut every text into the same lines.
char* wrap_reference(const char** cursor, char* out, size_t w) {
    if (!*cursor) return nullptr;
    auto after_full_line = [](const char* p) -> const char* {
        if (*p == ' ') ++p;
        if (!*p) return nullptr;
        if (*p == '\n') return p + 1;
        if (*p == '\r') return p + 1 + (p[1] == '\n');
        return p;
    };
    const char* p = *cursor;
    size_t n = 0;
    bool word_start = true;
    for (;;) {
        const char b = *p;
        if (!b || b == '\n' || b == '\r') {
            out[n] = '\0';
            *cursor = !b ? nullptr : p + 1 + (b == '\r' && p[1] == '\n');
            return out;
        }
        if (b == ' ' || b == '\t') {
            word_start = true;
        } else if (word_start) {
            word_start = false;
            size_t word = std::strcspn(p, " \t\r\n");
            if (word > w) {
                size_t k = w - n;
                size_t j = utf8_sequence_start(p, k);
                if (j != k && utf8_is_lead(static_cast<unsigned char>(p[j]))) k = j;
                if (k == 0 && n == 0) k = w;
                std::memcpy(out + n, p, k);
                out[n + k] = '\0';
                *cursor = p + k;
                return out;
            }
            if (n + word > w) {
                out[n] = '\0';
                *cursor = p;
                return out;
            }
        }
        out[n++] = b;
        ++p;
        if (n == w) {
            out[n] = '\0';
            *cursor = after_full_line(p);
            return out;
        }
    }
}

TEST(StrWrap, SameLinesAsMeasuringEachWordWhole) {
    std::mt19937 rng(11);
    const std::vector<std::string> pieces = {"a",
                                             "bb",
                                             "word",
                                             " ",
                                             "  ",
                                             "\t",
                                             "\n",
                                             "\r\n",
                                             "\r",
                                             "\xc3\xa9",
                                             "\xe2\x82\xac",
                                             "\xf0\x9f\x98\x80",
                                             "\x80",
                                             std::string(30, 'x'),
                                             std::string(90, 'y')};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (size_t n = rng() % 60; n > 0; --n) text += pieces[rng() % pieces.size()];
        const int width = 1 + static_cast<int>(rng() % 100);
        std::vector<char> a(static_cast<size_t>(width) + 1), b(a.size());
        const char* ca = text.c_str();
        const char* cb = text.c_str();
        for (int lines = 0; lines < 10000; ++lines) {
            char* la = str_wrap_line(&ca, a.data(), width);
            char* lb = wrap_reference(&cb, b.data(), static_cast<size_t>(width));
            ASSERT_EQ(la == nullptr, lb == nullptr)
                << ::testing::PrintToString(text) << " width " << width;
            if (!la) break;
            ASSERT_STREQ(la, lb) << ::testing::PrintToString(text) << " width " << width;
            ASSERT_EQ(ca, cb) << ::testing::PrintToString(text) << " width " << width;
        }
    }
}

// A run without blanks much longer than the width is cut into full lines;
// only the width ahead is looked at, so a long run is no slower per byte.
TEST(StrWrap, LongRunIsCutIntoFullLines) {
    const std::string word(300000, 'w');
    const std::string text = word + " end";
    std::vector<char> out(79);
    const char* cursor = text.c_str();
    std::string joined;
    size_t lines = 0;
    while (char* line = str_wrap_line(&cursor, out.data(), 78)) {
        const size_t n = std::strlen(line);
        EXPECT_LE(n, 78u);
        joined += line;
        ++lines;
    }
    // 3846 full lines; the 12 bytes left share the last line with " end".
    EXPECT_TRUE(joined == text);
    EXPECT_EQ(lines, word.size() / 78 + 1);
}

TEST(StrStream, ReadErrorIsNotTheEndOfTheFile) {
    // Reading a directory stream fails at once; neither reader may pass that
    // off as an empty text.
    FILE* f = std::fopen("/", "r");
    ASSERT_NE(f, nullptr);
    size_t len = 7;
    EXPECT_EQ(file_read_stream(f, &len), nullptr);
    EXPECT_EQ(len, 7u);
    std::rewind(f);
    EXPECT_EQ(file_read_lines_crlf(f), nullptr);
    std::fclose(f);
}

TEST(StrNumber, FromU64Base) {
    struct row {
        uint64_t value;
        int base;
        std::string want;
    };
    const std::vector<row> rows = {
        {0, 10, "0"},
        {255, 16, "ff"},
        {UINT64_MAX, 2, std::string(64, '1')},
        {UINT64_MAX, 10, "18446744073709551615"},
        {35, 36, "z"},
        {1700000000, 10, "1700000000"},
        {8, 8, "10"},
        {UINT64_MAX, 36, "3w5e11264sgsf"},
        {5, 1, ""},  // no such base
        {5, 37, ""},
    };
    for (const row& r : rows) {
        char out[66];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(str_from_u64_base(r.value, r.base, out), out);
        EXPECT_EQ(std::string(out), r.want);
        for (size_t i = r.want.size() + 1; i < sizeof out; ++i)
            ASSERT_EQ(out[i], 'x') << "written past the NUL at " << i;
    }
}

TEST(StrHasNonprintable, Table) {
    EXPECT_EQ(str_has_nonprintable(""), 0);
    EXPECT_EQ(str_has_nonprintable(nullptr), 0);
    EXPECT_EQ(str_has_nonprintable(" ~abc"), 0);
    EXPECT_EQ(str_has_nonprintable("a\tb"), 1);
    EXPECT_EQ(str_has_nonprintable("a\x7f"), 1);
    EXPECT_EQ(str_has_nonprintable("\xc3\xa9"), 1);
}

// What may reach a terminal: C0 controls but TAB, DEL and C1 controls become
// "\xNN" of their code point; everything else, broken UTF-8 included, stays.
TEST(StrEscapeControls, Table) {
    struct row {
        std::string in, want;
    };
    const std::vector<row> rows = {
        {"", ""},
        {"250 ok", "250 ok"},
        {"a\tb", "a\tb"},  // TAB is kept
        {"550 \x1b]0;TITLE\x07\x1b[2J", "550 \\x1b]0;TITLE\\x07\\x1b[2J"},
        {"line\r\nnext", "line\\x0d\\x0anext"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x7f", "\\x7f"},
        // C1 controls as UTF-8 are written as their code point.
        {"\xc2\x80|\xc2\x9b|\xc2\x9f", "\\x80|\\x9b|\\x9f"},
        // Lone bytes 0x80-0x9F (no valid sequence) likewise: a raw 0x9B is CSI.
        {"\x9b[31m", "\\x9b[31m"},
        {"\xc2", "\xc2"},            // a cut sequence that is no control stays
        {"\xc2\x1b", "\xc2\\x1b"},   // its lead byte stays, the ESC does not
        {"\xe9t\xe9", "\xe9t\xe9"},  // Latin-1 bytes at 0xA0 and above stay
        // Ordinary UTF-8 stays, also where its continuation bytes are 0x80-0x9F.
        {"\xc2\xa0 \xc3\xa9 \xe2\x80\x9b \xf0\x9f\x98\x80",
         "\xc2\xa0 \xc3\xa9 \xe2\x80\x9b \xf0\x9f\x98\x80"},
        // Backslashes are kept as they are.
        {"c:\\dir\\x1b", "c:\\dir\\x1b"},
    };
    for (const row& r : rows) EXPECT_EQ(str_escape_controls(r.in), r.want) << r.in;
    EXPECT_EQ(str_escape_controls(static_cast<const char*>(nullptr)), "");

    // Every C0 control but TAB, DEL and every C1 control, both ways it can come.
    static const char hex[] = "0123456789abcdef";
    for (int b = 0; b < 0xA0; ++b) {
        const char c = static_cast<char>(b);
        const bool control = b != '\t' && (b < 0x20 || b >= 0x7F);
        const std::string want =
            control ? std::string("\\x") + hex[b >> 4] + hex[b & 0xF] : std::string(1, c);
        EXPECT_EQ(str_escape_controls(std::string(1, c)), want) << b;
        if (b >= 0x80) {
            EXPECT_EQ(str_escape_controls(std::string{'\xc2', c}), want) << b;
        }
    }
}
