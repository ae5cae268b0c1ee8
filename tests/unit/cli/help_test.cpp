#include "cli/help.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

uint32_t kind(const doc_row& r) {
    return static_cast<uint32_t>(r.kind);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string all_texts() {
    std::string all;
    for (size_t i = 0; i < doc_usage_rows; ++i)
        all += std::string(doc_usage_table[i].option) + "\n" + doc_usage_table[i].text + "\n";
    return all;
}

const doc_row* find_option(const char* name) {
    for (size_t i = 0; i < doc_usage_rows; ++i) {
        if (kind(doc_usage_table[i]) == doc_option &&
            std::strcmp(doc_usage_table[i].option, name) == 0)
            return &doc_usage_table[i];
    }
    return nullptr;
}

TEST(HelpTable, RowsAndSections) {
    std::string kinds;
    size_t n = 0;
    while (kind(doc_usage_table[n]) != doc_end)
        kinds += static_cast<char>('0' + kind(doc_usage_table[n++]));
    ASSERT_EQ(n, doc_usage_rows);
    const doc_row& end = doc_usage_table[doc_usage_rows];
    EXPECT_STREQ(end.option, "");
    EXPECT_STREQ(end.text, "");
    EXPECT_EQ(end.modes, 0u);

    // 1 heading, 2 paragraph, 3 table start, 4 option, 5 table end, section
    // by section.
    EXPECT_TRUE(std::regex_match(kinds, std::regex("12{15}"
                                                   "134{4}5"
                                                   "134{4}52{7}"
                                                   "134{14}5"
                                                   "134{6}52{15}"
                                                   "134{16}5"
                                                   "134{3}5"
                                                   "1234{5}5"
                                                   "134{2}5"
                                                   "134{8}5")))
        << kinds;

    std::vector<std::string> headings;
    int blank = 0;
    for (size_t i = 0; i < n; ++i) {
        const doc_row& r = doc_usage_table[i];
        if (kind(r) == doc_heading) headings.push_back(r.text);
        if (kind(r) == doc_paragraph && !*r.text) ++blank;
        if (kind(r) != doc_option) {
            EXPECT_STREQ(r.option, "") << i;
        }
        if (kind(r) == doc_table_start || kind(r) == doc_table_end) {
            EXPECT_STREQ(r.text, "") << i;
        }
    }
    EXPECT_EQ(blank, 12);
    EXPECT_EQ(headings,
              (std::vector<std::string>{
                  "Configuration", "Mandatory Options / Mode Selection", "Recipients",
                  "Content And Formatting", "Attachments", "Connection Options",
                  "Delivery Status Notification (DSN) / Message Disposition Notification (MDN)",
                  "DomainKeys Identified Mail (DKIM)", "Debugging", "Command Line Only"}));
}

TEST(HelpTable, OptionColumnAndModes) {
    size_t longest = 0;
    int at_longest = 0;
    std::vector<std::string> bit3;
    for (size_t i = 0; i < doc_usage_rows; ++i) {
        const doc_row& r = doc_usage_table[i];
        if (kind(r) != doc_option) continue;
        size_t len = std::strlen(r.option);
        if (len > longest) at_longest = 0;
        longest = std::max(longest, len);
        if (len == longest) ++at_longest;
        if (r.modes & 8) bit3.push_back(r.option);
        EXPECT_EQ(r.modes & ~uint64_t{15}, 0u) << r.option;
    }
    EXPECT_EQ(longest, 31u);
    EXPECT_EQ(at_longest, 3);
    EXPECT_EQ(bit3, (std::vector<std::string>{"-clutf8", "-encryptpass:password", "-bindpass",
                                              "-config:file", "-nodefault", "-skipnofile"}));

    struct {
        const char* option;
        const char* modes;
    } cases[] = {{"-encryptpass:password", "---"},
                 {"-bindpass", "---"},
                 {"-results:filename", "S--"},
                 {"-clutf8", "SFP"},
                 {"-skipnofile", "SF-"},
                 {"-host:[user:pass@]host[:port]", "S-P"},
                 {"-file:file", "-F-"},
                 {"-emailfile:file", "--P"},
                 {"--", "SF-"}};
    for (const auto& c : cases) {
        const doc_row* r = find_option(c.option);
        ASSERT_NE(r, nullptr) << c.option;
        char modes[doc_mode_string_size];
        doc_mode_string(static_cast<uint32_t>(r->modes), cli_help_modes, 3, modes);
        EXPECT_STREQ(modes, c.modes) << c.option;
    }
}

TEST(HelpTable, TextsThatNeedCare) {
    const std::string all = all_texts();
    // Texts that would send a user here to another platform's paths.
    for (const char* gone : {"%APPDATA%", "c:\\", "LibreSSL"})
        EXPECT_EQ(all.find(gone), std::string::npos) << gone;
    EXPECT_NE(all.find("The default configuration is stored in ostrel.conf in the folder named "
                       "by $APPDATA, else $XDG_CONFIG_HOME, else $HOME/.config.\n"),
              std::string::npos);
    EXPECT_NE(all.find("you could do the following -awild:R:/var/log/1970*/!*.tmp\n"),
              std::string::npos);
    EXPECT_STREQ(find_option("-tls-ciphers:ciphers")->text,
                 "Set which ciphers can be used (values from libtls). Values are secure, "
                 "compat, legacy and all. Default is all.");
    EXPECT_NE(std::string(find_option("-tls-protocols:proto[,proto...]")->text)
                  .find("(values from libtls)"),
              std::string::npos);
    EXPECT_STREQ(find_option("-body:message body")->text,
                 "Specifies the message body. Note: '\\\\','\\r','\\n', and '\\t' are valid "
                 "escape codes.");

    // The recipients paragraphs carry their examples.
    for (const char* re :
         {R"(-to:\S+@\S+:"[^"]+ [^"]+":DF\b)", R"(-bcc:\S+@\S+::SFD\b)", R"(-to:@\S+)",
          R"([A-Z][a-z]+ [A-Z][a-z]+ <\S+@\S+>)", R"( [a-z]+@[a-z.]+[a-z]\.)"})
        EXPECT_TRUE(std::regex_search(all, std::regex(re))) << re;

    // Every word fits the AsciiDoc word limit, and quotes pair up, so the
    // AsciiDoc keeps every word whole.
    for (size_t i = 0; i < doc_usage_rows; ++i) {
        std::string text = doc_usage_table[i].text;
        for (const std::string& w : words(text)) EXPECT_LE(w.size(), 63u) << w;
        EXPECT_EQ(std::count(text.begin(), text.end(), '"') % 2, 0) << text;
    }
}

// The console text of the real table keeps every word in order at any
// width, however narrow.
TEST(HelpConsole, EveryWidthKeepsEveryWord) {
    std::vector<std::string> expected;
    for (size_t i = 0; i < doc_usage_rows; ++i) {
        const doc_row& r = doc_usage_table[i];
        std::vector<std::string> add;
        if (kind(r) == doc_heading) {
            add.push_back("##");
            for (auto& w : words(r.text)) add.push_back(w);
            add.push_back("##");
        } else if (kind(r) == doc_paragraph) {
            add = words(r.text);
        } else if (kind(r) == doc_option) {
            char modes[doc_mode_string_size];
            doc_mode_string(static_cast<uint32_t>(r.modes), "SFP", 3, modes);
            add = words(r.option);
            add.push_back(modes);
            for (auto& w : words(r.text)) add.push_back(w);
        }
        expected.insert(expected.end(), add.begin(), add.end());
    }
    for (int width = 1; width <= 121; width += width < 40 ? 1 : 40) {
        char* buf = nullptr;
        size_t len = 0;
        FILE* f = open_memstream(&buf, &len);
        doc_write_console(f, doc_usage_table, cli_help_modes, width);
        std::fclose(f);
        std::string out(buf, len);
        std::free(buf);
        const std::vector<std::string> got = words(out);
        size_t same = 0;
        while (same < got.size() && same < expected.size() && got[same] == expected[same]) ++same;
        EXPECT_EQ(same, expected.size())
            << width << ": " << (same < got.size() ? got[same] : "(end)") << " for "
            << (same < expected.size() ? expected[same] : "(end)");
        EXPECT_EQ(got.size(), expected.size()) << width;
        // Headings are not wrapped; any other line runs past the width only
        // when it holds one word, or an option (one or two words) with its modes.
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (static_cast<int>(line.size()) <= width || line.starts_with("## ")) continue;
            EXPECT_LE(words(line).size(), line[0] == '-' && width < 37 ? 3u : 1u)
                << width << ": " << line;
        }
    }
}

TEST(HelpAsciidoc, BuildsWhole) {
    str_buf b;
    ASSERT_EQ(doc_build_asciidoc(&b, "BANNER", "Usage", doc_usage_table, cli_help_modes), 1);
    std::string text = b.data;
    str_buf_release(&b);
    EXPECT_EQ(text.rfind("== Usage\nBANNER\n\n=== Configuration\n", 0), 0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n') > 128, true);
}

}  // namespace
