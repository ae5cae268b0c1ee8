#include "support/fmt.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

// Records every sink call: its text and the pointer it was given.
struct recorder {
    std::vector<std::string> calls;
    std::vector<const char*> pointers;
    std::string joined() const {
        std::string all;
        for (const std::string& c : calls) all += c;
        return all;
    }
};

void record(void* ctx, const char* text, size_t len) {
    auto* r = static_cast<recorder*>(ctx);
    // Every piece is also terminated at its length.
    EXPECT_EQ(text[len], '\0');
    r->calls.emplace_back(text, len);
    r->pointers.push_back(text);
}

recorder run(const char* format, std::vector<fmt_arg> args = {}, const uint8_t* mask = nullptr,
             fmt_escaper esc = nullptr) {
    recorder r;
    fmt_engine(record, &r, mask, esc, format, fmt_args(args.data(), args.size()));
    return r;
}

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};

str_buf buf_with(size_t capacity, size_t length) {
    str_buf b;
    b.data = static_cast<char*>(std::malloc(capacity));
    std::memset(b.data, 'a', length);
    b.data[length] = '\0';
    b.capacity = capacity;
    b.length = length;
    return b;
}

}  // namespace

TEST(FmtEngine, Conversions) {
    const char zero_inside[] = {'a', 'b', '\0', 'c'};
    struct row {
        const char* format;
        std::vector<fmt_arg> args;
        const char* want;
    };
    const std::vector<row> rows = {
        {"100%%", {}, "100%"},
        {"a%qb%d", {7}, "ab7"},  // an unknown conversion takes no argument
        {"end%", {}, "end"},
        {"a\\xb", {}, "ab"},
        {"\\\\|\\n|\\r|\\t", {}, "\\|\n|\r|\t"},
        {"ab\\", {}, "ab"},  // a lone backslash at the end ends the format
        {"%c%c", {65, 0x142}, "AB"},
        {"[%c]", {0}, "[]"},
        {"[%s]", {nullptr}, "[]"},
        {"%s|%S", {"hi", "ho"}, "hi|ho"},
        {"%d %i", {INT_MIN, 42}, "-2147483648 42"},
        {"%D", {INT64_MIN}, "-9223372036854775808"},
        {"%I", {int64_t{1} << 40}, "1099511627776"},
        {"%u %u %u", {INT_MIN, -1, 7}, "18446744071562067968 18446744073709551615 7"},
        {"%x %x %x", {-1, 255, 0}, "ffffffffffffffff ff 0"},
        {"%o %o %o", {-8, 8, 0}, "-10 10 0"},
        {"%b %b %b", {5, -5, 0}, "101 -101 0"},
        {"%f %f", {1.5, -0.25}, "1.500000 -0.250000"},
        {"%5d", {}, "d"},  // "5" names no conversion and goes with the "%"
        {"%ld", {}, "d"},
        {"%.2f", {}, "2f"},
        {"a%.b", {}, "ab"},  // a "." without "*" is the conversion character
        {"%.*d", {3, 42}, "42"},
        {"%.*s", {4, zero_inside}, "abc"},
        {"[%.*s]", {0, static_cast<const char*>(nullptr)}, "[]"},
        {"%.*s", {-1, "whole"}, "whole"},
        {"%.*s", {2, "abcdef"}, "ab"},
        {"", {}, ""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(run(r.format, r.args).joined(), r.want) << r.format;
    }
}

TEST(FmtEngine, MismatchedArgumentsPrintNothing) {
    // Forwarded formats are not checked at compile time; the engine still
    // never reads an argument of the wrong kind or past the last one.
    struct row {
        const char* format;
        std::vector<fmt_arg> args;
        const char* want;
    };
    const std::vector<row> rows = {
        {"<%d>", {"text"}, "<>"}, {"%d,%d", {7}, "7,"},
        {"<%s>", {}, "<>"},       {"<%d>", {int64_t{5}}, "<>"},
        {"<%f>", {1}, "<>"},      {"<%.*s>", {"abc"}, "<abc>"},  // no count argument: no limit
    };
    for (const row& r : rows) {
        EXPECT_EQ(run(r.format, r.args).joined(), r.want) << r.format;
    }
}

TEST(FmtEngine, CheckedFrontEnds) {
    recorder r;
    fmt_printf_to(record, &r, "a%qb%d-%s\\n", 7, "x");
    EXPECT_EQ(r.joined(), "ab7-x\n");
    testing::internal::CaptureStdout();
    fmt_engine(nullptr, nullptr, nullptr, nullptr, "to %s", std::vector<fmt_arg>{"stdout"});
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to stdout");
}

TEST(FmtEngine, CutIntoSinkCalls) {
    const std::string l4094(4094, 'a');
    const std::string l4095(4095, 'b');
    EXPECT_EQ(run(l4094.c_str()).calls, std::vector<std::string>{l4094});
    EXPECT_EQ(run(l4095.c_str()).calls, (std::vector<std::string>{std::string(4094, 'b'), "b"}));
    EXPECT_EQ(run("").calls, std::vector<std::string>{""});

    const std::string big(5000, 'z');
    recorder r = run("x%sy", {big});
    ASSERT_EQ(r.calls, (std::vector<std::string>{"x", big, "y"}));
    EXPECT_EQ(r.pointers[1], big.c_str()) << "a long argument is handed over, not copied";

    // A NULL string hands the pending text over at that point.
    EXPECT_EQ(run("ab%scd", {nullptr}).calls, (std::vector<std::string>{"ab", "cd"}));

    // A piece that does not fit behind the pending text starts a new one.
    const std::string head(4000, 'h');
    const std::string tail(200, 't');
    EXPECT_EQ(run((head + "%s").c_str(), {tail}).calls, (std::vector<std::string>{head, tail}));
}

TEST(FmtEngine, Masking) {
    struct row {
        const char* format;
        std::vector<fmt_arg> args;
        uint8_t mask;
        std::vector<std::string> calls;
    };
    const std::vector<row> rows = {
        {"pw=%d;", {-12}, 0x01, {"pw=", "*", "*", "*", ";"}},
        {"auth plain %s\\r\\n", {"AGFi"}, 0x01, {"auth plain ", "*", "*", "*", "*", "\r\n"}},
        // The count is number 0, the string number 1.
        {"%.*s", {3, "abcdef"}, 0x02, {"", "*", "", "*", "", "*", ""}},
        {"%.*s", {3, "abcdef"}, 0x01, {"abc"}},
        // Byte by byte: a zero byte gives no "*".
        {"%.*s", {3, "a\0b"}, 0x02, {"", "*", "", "*", ""}},
        {"%%%d", {5}, 0x01, {"%5"}},  // %% takes a number but is never masked
        {"%%%d", {5}, 0x02, {"%", "*", ""}},
        {"%s%s", {"a", "b"}, 0x02, {"a", "*", ""}},
        {"a%qb%d", {7}, 0x02, {"ab", "*", ""}},  // %q counts as number 0
    };
    for (const row& r : rows) {
        uint8_t mask[2] = {r.mask, 0};
        EXPECT_EQ(run(r.format, r.args, mask).calls, r.calls) << r.format << " mask " << +r.mask;
    }
}

TEST(FmtEngine, MaskBitmap) {
    uint8_t bits[2] = {0, 0};
    fmt_mask_set_bit(bits, 9, 1);
    fmt_mask_set_bit(bits, 0, 1);
    EXPECT_EQ(bits[0], 0x01);
    EXPECT_EQ(bits[1], 0x02);
    EXPECT_EQ(fmt_mask_test(bits, 9), 1);
    EXPECT_EQ(fmt_mask_test(bits, 8), 0);
    fmt_mask_set_bit(bits, 9, 0);
    EXPECT_EQ(bits[1], 0x00);
    EXPECT_EQ(bits[0], 0x01);
}

namespace {

// Brackets each argument, escapes quotes, upper-cases through the work area
// and drops "x" (which hands the pending text over).
const char* test_escaper(const char* text, char* work) {
    if (text == fmt_escaper_boundary) return "|";
    if (*text == '"') return "\\\"";
    if (*text == 'x') return nullptr;
    work[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
    work[1] = '\0';
    return work;
}

}  // namespace

TEST(FmtEngine, Escaper) {
    struct row {
        const char* format;
        std::vector<fmt_arg> args;
        uint8_t mask;
        std::vector<std::string> calls;
    };
    const std::vector<row> rows = {
        {"<%s>", {"a\"xb"}, 0, {"<|A\\\"", "B|>"}},
        {"<%S>", {"a\"xb"}, 0, {"<a\"xb>"}},  // %S never goes through the escaper
        {"<%.*s>", {2, "abcd"}, 0, {"<|AB|>"}},
        {"<%.*s>", {0, "abcd"}, 0, {"<||>"}},
        {"<%s>", {nullptr}, 0, {"<||>"}},
        {"<%s>", {"ab"}, 0x01, {"<", "*", "", "*", "", "*", "", "*", ">"}},
    };
    for (const row& r : rows) {
        uint8_t mask[1] = {r.mask};
        EXPECT_EQ(run(r.format, r.args, mask, test_escaper).calls, r.calls) << r.format;
    }
}

TEST(FmtEngine, LongFloatIsBounded) {
    std::string text = run("%f", {1e200}).joined();
    EXPECT_LT(text.size(), 128u);
    EXPECT_EQ(text.substr(0, 5), "99999");
}

TEST(FmtEmit, SmallBufferStaysBounded) {
    recorder r;
    char buffer[8];
    size_t pending = 0;
    fmt_emit(buffer, sizeof buffer, &pending, 0, record, &r, "abc", 3);
    EXPECT_EQ(pending, 3u);
    EXPECT_STREQ(buffer, "abc");
    fmt_emit(buffer, sizeof buffer, &pending, 0, record, &r, "defg", 4);  // 3 + 4 is not < 7
    EXPECT_EQ(r.calls, std::vector<std::string>{"abc"});
    EXPECT_STREQ(buffer, "defg");
    fmt_emit(buffer, sizeof buffer, &pending, 0, record, &r, "0123456789abcdefghij", 20);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"abc", "defg", "0123456", "789abcd"}));
    EXPECT_STREQ(buffer, "efghij");
    fmt_emit(buffer, sizeof buffer, &pending, 1, record, &r, "pw", 2);
    fmt_emit(buffer, sizeof buffer, &pending, 0, record, &r, nullptr, 0);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"abc", "defg", "0123456", "789abcd", "efghij", "*",
                                                 "*", ""}));
    EXPECT_EQ(pending, 0u);
}

TEST(StrBuf, GrowthFigures) {
    struct row {
        size_t capacity, length, add, want_capacity;
    };
    const row rows[] = {
        {1024, 0, 3000, 3001},  {1024, 1000, 30, 2048}, {1024, 1000, 23, 1024},
        {1024, 1000, 24, 2048}, {0, 0, 10, 11},
    };
    for (const row& r : rows) {
        str_buf b = r.capacity ? buf_with(r.capacity, r.length) : str_buf{};
        const std::string text(r.add, 'x');
        fmt_sink_str_buf(&b, text.c_str(), text.size());
        EXPECT_EQ(b.capacity, r.want_capacity) << r.capacity << "/" << r.length << "+" << r.add;
        EXPECT_EQ(b.length, r.length + r.add);
        EXPECT_EQ(std::strlen(b.data), b.length);
        EXPECT_EQ(b.flags, 0u);
        str_buf_release(&b);
        EXPECT_EQ(b.data, nullptr);
    }
}

TEST(StrBuf, AppendfAndTheSink) {
    EXPECT_EQ(str_buf_appendf(nullptr, "x"), nullptr);
    str_buf b;
    char* data = str_buf_appendf(&b, "%s=%d;", "n", 5);
    EXPECT_EQ(data, b.data);
    EXPECT_EQ(b.capacity, 1024u);
    fmt_printf_to(fmt_sink_str_buf, &b, "a%sb\\r\\n", "X");
    EXPECT_STREQ(b.data, "n=5;aXb\r\n");
    EXPECT_EQ(b.length, 9u);
    fmt_sink_str_buf(&b, "x\0y", 3);
    EXPECT_EQ(std::string(b.data, b.length), std::string("n=5;aXb\r\nx\0y", 12));
    str_buf_release(&b);
}

TEST(StrBuf, FailedGrowthIsSeenByTheWriter) {
    str_buf b = buf_with(16, 3);
    b.flags = str_buf_failed;
    EXPECT_EQ(str_buf_appendf(&b, "%d", 42), nullptr) << "an incomplete text must not pass on";
    EXPECT_STREQ(b.data, "aaa42") << "later appends are still attempted";
    str_buf_release(&b);

    // A length whose growth would overflow the size is a failed growth too.
    str_buf huge = buf_with(16, 3);
    huge.length = SIZE_MAX - 2;
    EXPECT_EQ(str_buf_append(&huge, "abc", 3), 0);
    EXPECT_EQ(huge.flags, str_buf_failed);
    EXPECT_EQ(huge.capacity, 16u);
    str_buf_release(&huge);
}

TEST(StrBuf, SetLength) {
    struct row {
        ptrdiff_t n;
        int want;
        size_t length_after;
    };
    const row rows[] = {{3, 1, 3},  {5, 1, 5},  {6, 0, 5}, {0, 1, 0},
                        {-1, 1, 4}, {-5, 1, 0}, {-6, 0, 5}};
    for (const row& r : rows) {
        str_buf b = buf_with(16, 5);
        EXPECT_EQ(str_buf_set_length(&b, r.n), r.want) << r.n;
        EXPECT_EQ(b.length, r.length_after) << r.n;
        EXPECT_EQ(std::strlen(b.data), b.length) << r.n;
        str_buf_release(&b);
    }
    str_buf b = buf_with(16, 5);
    str_buf_set_length(&b, -3);
    str_buf_appendf(&b, "%s", "zz");
    EXPECT_STREQ(b.data, "aazz");
    str_buf_release(&b);
    EXPECT_EQ(str_buf_set_length(nullptr, 0), 0);
}

TEST(FmtAsprintf, NewAndAppended) {
    std::unique_ptr<char, free_deleter> fresh(fmt_asprintf(nullptr, "x%sy%d", "-", 3));
    EXPECT_STREQ(fresh.get(), "x-y3");

    char* p = strdup("abc");
    char* got = fmt_asprintf(&p, "");
    EXPECT_EQ(got, p);
    EXPECT_STREQ(p, "abc");
    fmt_asprintf(&p, "%d%s", 12, "!");
    EXPECT_STREQ(p, "abc12!");
    std::free(p);

    char* empty = strdup("");
    fmt_asprintf(&empty, "");
    EXPECT_STREQ(empty, "");
    std::free(empty);

    char* slot = nullptr;
    fmt_asprintf(&slot, "%s", "made");
    EXPECT_STREQ(slot, "made");
    std::free(slot);

    uint8_t mask[1] = {0x01};
    const fmt_arg args[] = {"secret"};
    std::unique_ptr<char, free_deleter> masked(
        fmt_vasprintf(nullptr, mask, nullptr, "pass %s.", fmt_args(args)));
    EXPECT_STREQ(masked.get(), "pass ******.");
}

TEST(FmtSinks, FileSink) {
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    fmt_fprintf(f, "%s:%d\\n", "line", 1);
    rewind(f);
    char text[32] = {};
    ASSERT_EQ(std::fread(text, 1, sizeof text - 1, f), 7u);
    EXPECT_STREQ(text, "line:1\n");
    fclose(f);
}

TEST(StrSetPrintf, ReplacesAndCuts) {
    char* slot = nullptr;
    EXPECT_EQ(str_set_printf(&slot, "a%05d", 42), 1);
    EXPECT_STREQ(slot, "a00042");
    EXPECT_EQ(str_set_printf(&slot, "%s", "second"), 1);  // the old text is freed
    EXPECT_STREQ(slot, "second");
    const std::string long_text(5000, 'L');
    EXPECT_EQ(str_set_printf(&slot, "%s", long_text.c_str()), 1);
    EXPECT_EQ(std::string(slot), long_text.substr(0, 4095));
    std::free(slot);

    std::optional<std::string> text;
    EXPECT_EQ(str_set_printf(text, "%s/%d", "x", 1), 1);
    EXPECT_EQ(text, "x/1");
    EXPECT_EQ(str_set_printf(text, "%s", long_text.c_str()), 1);
    EXPECT_EQ(text->size(), 4095u);
}

TEST(FmtNumbers, Radix) {
    char buffer[8];
    EXPECT_EQ(fmt_u64_radix(255, 16, buffer, sizeof buffer), buffer + 5);
    EXPECT_STREQ(buffer + 5, "ff");
    EXPECT_EQ(fmt_i64_radix(-255, 16, buffer, sizeof buffer), buffer + 4);
    EXPECT_STREQ(buffer + 4, "-ff");
    EXPECT_STREQ(fmt_u64_radix(0, 10, buffer, sizeof buffer), "0");
    EXPECT_EQ(fmt_u64_radix(255, 2, buffer, sizeof buffer), nullptr) << "9 bytes do not fit in 8";
    EXPECT_EQ(fmt_i64_radix(-1234567, 10, buffer, sizeof buffer), nullptr);  // no room for "-"

    struct row {
        int64_t value;
        int radix;
        const char* want;
    };
    const row rows[] = {
        {INT64_MIN, 10, "-9223372036854775808"},
        {INT64_MAX, 16, "7fffffffffffffff"},
        {-35, 36, "-z"},
        {5, 2, "101"},
    };
    for (const row& r : rows) {
        char big[72];
        EXPECT_STREQ(fmt_i64_radix(r.value, r.radix, big, sizeof big), r.want);
    }
    char bits[65];
    EXPECT_EQ(fmt_u64_radix(UINT64_MAX, 2, bits, sizeof bits), bits);
    EXPECT_EQ(std::string(bits), std::string(64, '1'));
}

TEST(FmtNumbers, DoubleIsBounded) {
    char out[16];
    EXPECT_STREQ(fmt_double(1.5, out, sizeof out), "1.500000");
    fmt_double(1e300, out, sizeof out);
    EXPECT_EQ(std::strlen(out), 15u);
}
