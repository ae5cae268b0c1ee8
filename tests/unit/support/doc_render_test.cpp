#include "support/doc_render.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

doc_row heading(const char* t) {
    return {"", 0, t, doc_heading};
}
doc_row para(const char* t) {
    return {"", 0, t, doc_paragraph};
}
doc_row option(const char* o, uint64_t m, const char* t) {
    return {o, m, t, doc_option};
}
const doc_row table_start{"", 0, "", doc_table_start};
const doc_row table_end{"", 0, "", doc_table_end};

std::vector<doc_row> with_end(std::vector<doc_row> rows) {
    rows.push_back({"", 0, "", doc_end});
    return rows;
}

std::string console(std::vector<doc_row> rows, const char* letters, int width) {
    rows = with_end(std::move(rows));
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    EXPECT_EQ(doc_write_console(f, rows.data(), letters, width), 1);
    std::fclose(f);
    std::string out(buf, len);
    std::free(buf);
    return out;
}

std::string inline_text(const char* text) {
    str_buf b;
    doc_adoc_inline(&b, text);
    std::string out = b.data ? b.data : "";
    EXPECT_FALSE(b.flags & str_buf_failed);
    str_buf_release(&b);
    return out;
}

TEST(DocEscape, Cases) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"a*b|c", "a&#42;b\\|c"},
        {"**||", "&#42;&#42;\\|\\|"},
        {"\x01x\ty\nz\r\x1f\x7f", "x\ty\nz\r\x7f"},
        {"caf\xc3\xa9 \\ %s", "caf\xc3\xa9 \\ %s"},
    };
    for (const auto& c : cases) {
        char* e = doc_adoc_escape(c.in);
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e, c.out) << c.in;
        std::free(e);
    }
}

TEST(DocModeString, Cases) {
    struct {
        uint32_t mask;
        const char* letters;
        int count;
        const char* out;
    } cases[] = {
        {7, "SFP", 3, "SFP"},
        {5, "SFP", 3, "S-P"},
        {8, "SFP", 3, "---"},
        {11, "SFP", 3, "SF-"},
        {15, "SFP", 3, "SFP"},
        {1, "SFP", 3, "S--"},
        {0, "SFP", 0, ""},
        {7, nullptr, 3, ""},
        {0xFFFFFFFF, "SFP", 2, "SF"},
        // At most 15 letters.
        {0x4001, "ABCDEFGHIJKLMNOPQRS", 19, "A-------------O"},
    };
    for (const auto& c : cases) {
        char out[doc_mode_string_size];
        doc_mode_string(c.mask, c.letters, c.count, out);
        EXPECT_STREQ(out, c.out) << c.mask;
    }
}

TEST(DocInline, Words) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"   ", ""},
        {"plain words", "plain words"},
        {"  many   spaces  ", "many spaces "},
        {"(S)MTP mode", "**(S)**MTP mode"},
        {"(S)", "**(S)**"},
        {"The -to, -cc, and -bcc settings", "The _-to_, _-cc_, and _-bcc_ settings"},
        {"(E.g., -to) are", "(E.g., _-to_) are"},
        {"see -x.", "see _-x_."},
        {"use -starttls if", "use _-starttls_ if"},
        {"(-x", "(_-x_"},
        {"(-x)", "(_-x)_"},
        {"(ab)", "(ab)"},
        {"a - b", "a - b"},
        {"-\tx", "-\tx"},
        {"say \"two words\" here", "say \"two words\" here"},
        {"-to:a@b:\"A B\":DF next", "_-to:a@b:\"A B\":DF_ next"},
        {"unbalanced \"quote runs on", "unbalanced \"quote runs on"},
        {"a*b c|d", "a&#42;b c\\|d"},
        {"100% \\n", "100% \\n"},
        {"tab\tand\nline", "tab\tand\nline"},
        {"\x01 x", " x"},
    };
    for (const auto& c : cases) EXPECT_EQ(inline_text(c.in), c.out) << c.in;
}

TEST(DocInline, LongWordIsCutTo63Bytes) {
    std::string word(70, 'w');
    EXPECT_EQ(inline_text((word + " next").c_str()), std::string(63, 'w') + " next");
}

TEST(DocConsole, OptionColumnsAndWrap) {
    // M is 7: options padded to 8 columns, the first line counted from
    // column 13 although its text starts at 12, continuations indented by 12.
    std::vector<doc_row> rows = {table_start, option("-ab", 1, "one two three"),
                                 option("-abcdef", 8, "x"), table_end};
    EXPECT_EQ(console(rows, "SFP", 20),
              "-ab     S-- one \n"
              "            two \n"
              "            three \n\n"
              "-abcdef --- x \n\n");
    // Without mode letters an option row is its name alone.
    EXPECT_EQ(console(rows, "", 20), "-ab     \n\n-abcdef \n\n");
    EXPECT_EQ(console(rows, nullptr, 20), "-ab     \n\n-abcdef \n\n");
}

TEST(DocConsole, Paragraphs) {
    std::vector<doc_row> rows = {para("aaa bbb ccc"), para(""),          para("dddddddddddd x"),
                                 heading("h%s\\n"),   para("abcdefghi"), para("a\tb\r\nc  d")};
    EXPECT_EQ(console(rows, "SFP", 10),
              "aaa bbb \nccc \n"
              "\n"
              // A word of the width or more on a first line: an empty line first.
              "\ndddddddddddd\nx \n\n"
              "## h%s\\n ##\n\n"
              // A word that reaches W - 1 gets no space.
              "abcdefghi\n"
              "a b c d \n\n");
}

TEST(DocConsole, NarrowAndEmpty) {
    EXPECT_EQ(console({para("ab c")}, "SFP", 1), "\nab\nc\n\n");
    EXPECT_EQ(console({}, "SFP", 80), "");
    EXPECT_EQ(console({heading(""), para(""), option("", 0, "")}, "SFP", 80),
              "##  ##\n\n\n\n --- \n\n");
    EXPECT_EQ(console({option("-o", 7, "a b")}, "SFP", 1), "-o SFP \n       a\n       b\n\n");
}

TEST(DocConsole, TextIsCutAt4095Bytes) {
    std::string word(5000, 'a');
    EXPECT_EQ(console({para(word.c_str())}, "SFP", 80), "\n" + std::string(4095, 'a') + "\n\n");
}

std::vector<doc_row> adoc_rows() {
    return with_end({heading("Sec*|"), para("(S)MTP uses -to, and (-x)"), para(""), para("last"),
                     table_start, option("-a|b*", 5, "Use -b."), option("--", 8, "-"), table_end,
                     para("after")});
}

const char* const adoc_expected =
    "== Usage\nBANNER 100%\n\n"
    "=== Sec&#42;\\|\n"
    "**(S)**MTP uses _-to_, and (_-x)_ +\n"
    " +\n"
    "last\n\n"
    "[cols=\"90%,10%\"]\n|===\n"
    "|*-a\\|b&#42;* | *S-P*\n2+|Use _-b_.\n"
    "|*--* | *---*\n2+|-\n"
    "|===\n"
    "after\n\n";

TEST(DocAsciidoc, Layout) {
    auto rows = adoc_rows();
    str_buf b;
    ASSERT_EQ(doc_build_asciidoc(&b, "BANNER 100%", "Usage", rows.data(), "SFP"), 1);
    EXPECT_STREQ(b.data, adoc_expected);
    str_buf_release(&b);

    testing::internal::CaptureStdout();
    EXPECT_EQ(doc_render_asciidoc("BANNER 100%", "Usage", rows.data(), "SFP"), 1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), adoc_expected);
}

TEST(DocAsciidoc, EmptyTableAndTexts) {
    auto rows = with_end({heading(""), para(""), table_start, option("", 0, ""), table_end});
    str_buf b;
    ASSERT_EQ(doc_build_asciidoc(&b, "", "", rows.data(), "SFP"), 1);
    EXPECT_STREQ(b.data, "== \n\n\n=== \n\n\n[cols=\"90%,10%\"]\n|===\n|** | *---*\n2+|\n|===\n");
    str_buf_release(&b);
}

TEST(DocAsciidoc, FailedGrowthIsReported) {
    // A buffer that lost text says so, and the renderer then writes nothing.
    auto rows = adoc_rows();
    str_buf b;
    b.flags = str_buf_failed;
    EXPECT_EQ(doc_build_asciidoc(&b, "B", "Usage", rows.data(), "SFP"), 0);
    str_buf_release(&b);
}

}  // namespace
