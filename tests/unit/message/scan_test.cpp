#include "message/scan.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "message/address.hpp"
#include "message/guarded_text.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

struct piece {
    std::string a;
    std::optional<std::string> b;
    bool operator==(const piece&) const = default;
};

std::ostream& operator<<(std::ostream& os, const piece& p) {
    os << "{" << ::testing::PrintToString(p.a) << ", ";
    if (p.b)
        os << ::testing::PrintToString(*p.b);
    else
        os << "NULL";
    return os << "}";
}

using pieces = std::vector<piece>;

int collect(void* ctx, const char* a, uint32_t a_len, const char* b, uint32_t b_len) {
    auto* out = static_cast<pieces*>(ctx);
    piece p{std::string(a, a_len), std::nullopt};
    if (b) p.b = std::string(b, b_len);
    out->push_back(p);
    return 1;
}

using scanner = int (*)(void*, const char*, msg_scan_cb);

using test::guarded_text;

pieces scan(scanner fn, const std::string& text) {
    guarded_text g(text);
    pieces out;
    fn(&out, g.c_str(), collect);
    return out;
}

piece bare(const std::string& a) {
    return {a, std::nullopt};
}
piece named(const std::string& a, const std::string& name) {
    return {a, name};
}

struct scan_case {
    const char* what;
    std::string text;
    pieces want;
};

// ---- recipient-list files ----

TEST(AddrScanListFile, Entries) {
    const scan_case cases[] = {
        {"blank", "a@b.com c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"tab", "a@b.com\tc@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"LF", "a@b.com\nc@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"CRLF", "a@b.com\r\nc@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"lone CR stops", "a@b.com\rc@d.com", {bare("a@b.com")}},
        {"leading and trailing space", "  \r\n a@b.com \n\n", {bare("a@b.com")}},
        {"name with blank", "John Smith <js@x.org>", {named("js@x.org", "John Smith ")}},
        {"name against <", "John<js@x.org>", {named("js@x.org", "John")}},
        {"angle alone", "<js@x.org>", {named("js@x.org", "")}},
        {"quoted name keeps anything",
         "\"Smith; (J) @<> \r\n \xc3\xa9\" <js@x.org>",
         {named("js@x.org", "\"Smith; (J) @<> \r\n \xc3\xa9\" ")}},
        {"name of two quoted strings",
         "\"A\" \"B\" <js@x.org>",
         {named("js@x.org", "\"A\" \"B\" ")}},
        {"backslash escapes nothing", "\"a\\\" b\" <js@x.org>", {}},
        {"one label", "a@localhost", {bare("a@localhost")}},
        {"trailing dot", "a@b.com.", {}},
        {"empty label", "a@b..com", {}},
        {"underscore ends the domain", "a@b_c.com", {bare("a@b")}},
        {"leading dot in local part", ".a@b.com", {bare(".a@b.com")}},
        {"double dot in local part", "a..b@c.com", {bare("a..b@c.com")}},
        {"name then bare address", "John a@b.com", {}},
        {"line break before <", "John\n<a@b.com>", {}},
        {"blank after <", "< a@b.com>", {}},
        {"blank before >", "<a@b.com >", {}},
        {"no >", "<a@b.com", {}},
        {"comma ends", "a@b.com,c@d.com", {bare("a@b.com")}},
        {"semicolon ends", "a@b.com;c@d.com", {bare("a@b.com")}},
        {"address then angle", "a@b.com<c@d.com>", {bare("a@b.com"), named("c@d.com", "")}},
        {"quote after a bare address ends", "a@b.com\"X\" <c@d.com>", {bare("a@b.com")}},
        {"quote after an angle entry",
         "<a@b.com>\"X\" <c@d.com>",
         {named("a@b.com", ""), named("c@d.com", "\"X\" ")}},
        {"angles back to back", "<a@b.com><c@d.com>", {named("a@b.com", ""), named("c@d.com", "")}},
        {"apostrophe in local part",
         "o'brien@x.com p@q.com",
         {bare("o'brien@x.com"), bare("p@q.com")}},
        {"apostrophe in angle",
         "Pat <o'brien@x.com>\np@q.com",
         {named("o'brien@x.com", "Pat "), bare("p@q.com")}},
        {"U+2019 bytes in local part", "\xe2\x80\x99x@b.com", {bare("\xe2\x80\x99x@b.com")}},
        {"U+2019 bytes out of order", "\x80\xe2x@b.com", {}},
        {"other UTF-8 in local part", "\xc3\xa9@b.com", {bare("\xc3\xa9@b.com")}},
        {"UTF-8 domain", "a@m\xc3\xbcnchen.de", {bare("a@m\xc3\xbcnchen.de")}},
        {"quoted local part",
         "\"a b\"@x.org \"N\" <\"c;d\"@x.org>",
         {bare("\"a b\"@x.org"), named("\"c;d\"@x.org", "\"N\" ")}},
        {"address literals",
         "a@[192.0.2.1] <b@[IPv6:2001:db8::1]>",
         {bare("a@[192.0.2.1]"), named("b@[IPv6:2001:db8::1]", "")}},
        {"UTF-8 in unquoted name", "Jo\xc3\xa9 <a@b.com>", {}},
        {"unfinished name at end", "a@b.com x", {bare("a@b.com")}},
        {"open quote at end", "\"open <a@b.com>", {}},
        {"control byte stops", "a@b.com\x01 c@d.com", {bare("a@b.com")}},
        {"empty text", "", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(scan(addr_scan_list_file, c.text), c.want) << c.what;
}

TEST(AddrScanListFile, Results) {
    pieces out;
    EXPECT_EQ(addr_scan_list_file(&out, nullptr, collect), 0);
    EXPECT_EQ(addr_scan_list_file(&out, "a@b.com ;", collect), 1);
    EXPECT_EQ(addr_scan_list_file(&out, "", collect), 1);
    EXPECT_EQ(out, pieces{bare("a@b.com")});
}

// ---- header field values ----

// The value ends at the first line end that no blank follows; what lies
// inside it is read by the address-list grammar (address_field_test.cpp).
// Names come as one quoted string, decoded inside.
TEST(AddrScanHeaderList, Entries) {
    const scan_case cases[] = {
        {"comma blank", "a@b.com, c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"comma", "a@b.com,c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"blank comma", "a@b.com ,c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"comma fold", "a@b.com,\r\n\tc@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"comma, two folds", "a@b.com,\r\n\t\n c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"fold after a lone CR", "a@b.com,\r c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"comma line end, no blank", "a@b.com,\r\nc@d.com", {bare("a@b.com")}},
        {"lone CR, no blank", "a@b.com,\rc@d.com", {bare("a@b.com")}},
        {"blank only", "a@b.com c@d.com", {}},
        {"two angles",
         "<a@b.com>, \"Q R\" <c@d.com>",
         {named("a@b.com", "\"\""), named("c@d.com", "\"Q R\"")}},
        {"group", "Team: a@b.com;", {bare("a@b.com")}},
        {"angle then ;", "<a@b.com>;", {}},
        {"comma in unquoted name", "Doe, John <a@b.com>, c@d.com", {}},
        {"name, comma, bare address", "Doe, c@d.com", {}},
        {"final CRLF", "a@b.com\r\n", {bare("a@b.com")}},
        {"fold without comma", "a@b.com\r\n c@d.com", {}},
        {"comma opens next line", "a@b.com\r\n,c@d.com", {bare("a@b.com")}},
        {"no fold after line-start comma", "a@b.com\r\n, \r\n c@d.com", {bare("a@b.com")}},
        {"double comma", "a@b.com,,c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"comma blank comma", "a@b.com, , c@d.com", {bare("a@b.com"), bare("c@d.com")}},
        {"leading comma", ",a@b.com", {bare("a@b.com")}},
        {"leading blanks", "  a@b.com", {bare("a@b.com")}},
        {"leading line end", "\r\na@b.com", {}},
        {"leading fold", "\r\n a@b.com", {bare("a@b.com")}},
        {"next header line", "a@b.com\r\nCc: x@y.com", {bare("a@b.com")}},
        {"apostrophe", "o'brien@x.com, p@q.com", {bare("o'brien@x.com"), bare("p@q.com")}},
        {"bare address before angle", "a@b.com<c@d.com>", {}},
        {"trailing dot", "a@b.com., c@d.com", {}},
        {"quoted local part and literal",
         "\"a, b\"@x.org, c@[192.0.2.1]",
         {bare("\"a, b\"@x.org"), bare("c@[192.0.2.1]")}},
        {"empty", "", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(scan(addr_scan_header_list, c.text), c.want) << c.what;
}

TEST(AddrScanHeaderList, Results) {
    pieces out;
    EXPECT_EQ(addr_scan_header_list(&out, nullptr, collect), 1);
    EXPECT_EQ(addr_scan_header_list(&out, "a@b.com", collect), 0);
    EXPECT_EQ(out.size(), 1u);
}

// What the recipient callbacks keep of a scanned name: trailing blanks go,
// then one pair of enclosing quotes.
std::string trimmed_name(const std::optional<std::string>& raw) {
    if (!raw) return "";
    std::string s = *raw;
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

// Values both this scanner and Python's email.utils read; the pairs must agree.
TEST(AddrScanHeaderList, AgreesWithPythonOnCommonSubset) {
    const std::vector<std::string> values = {
        "a@b.com",
        "a@b.com, c@d.com",
        "John Smith <js@x.org>",
        "\"Smith, John\" <js@x.org>, plain@host.example",
        "<a@b.com>, <c@d.co.uk>",
        "A B <a@b.com>,\r\n\tc@d.com,\r\n  \"E F\" <e@f.org>",
        "o'brien@x.com, \"O'Brien\" <ob@x.com>",
        "x.y+tag@sub.example.org",
        "=?utf-8?B?w6k=?= <e@x.org>",
        "first.last@a-b.example, \"Q (R)\" <q@r.net>",
        "a@b.com c@d.com",  // both refuse it
    };
    test::scratch_dir dir;
    auto py =
        test::python_map(dir,
                         "    from email.utils import getaddresses\n"
                         "    v = data.decode('latin-1')\n"
                         "    r = [p for p in getaddresses([v]) if p != ('', '')]\n"
                         "    out('\\n'.join(n + '\\t' + a for n, a in r).encode('latin-1'))\n",
                         values);
    ASSERT_EQ(py.size(), values.size()) << "python3 did not run";
    for (size_t i = 0; i < values.size(); ++i) {
        std::string mine;
        for (const auto& p : scan(addr_scan_header_list, values[i])) {
            if (!mine.empty()) mine += '\n';
            mine += trimmed_name(p.b);
            mine += '\t';
            mine += p.a;
        }
        EXPECT_EQ(mine, py[i]) << values[i];
    }
}

// ---- header blocks ----

TEST(MsgScanHeaders, Fields) {
    const scan_case cases[] = {
        {"two fields then body",
         "To: a@b.com\r\nFrom: c@d.com\r\n\r\nBody: x\r\n",
         {named("To", "a@b.com"), named("From", "c@d.com")}},
        {"folded value", "Subject: hello\r\n world\r\n\r\n", {named("Subject", "hello\r\n world")}},
        {"tab fold, LF only",
         "A: 1\n\tcont\nB: 2\n\nC: 3",
         {named("A", "1\n\tcont"), named("B", "2")}},
        {"digit, trailing -", "9x-: w\r\n", {named("9x-", "w")}},
        {"any printable byte in a name",
         "X_Under: y\r\n!#$%&'*+./=?^`{|}~\"(),;<>@[\\]: z\r\n",
         {named("X_Under", "y"), named("!#$%&'*+./=?^`{|}~\"(),;<>@[\\]", "z")}},
        {"no blank after colon", "A:1\r\nB:\t2\r\n", {named("A", "1"), named("B", "2")}},
        {"blanks before colon", "A : 1\r\nBcc\t :x\r\n", {named("A", "1"), named("Bcc", "x")}},
        {"value on the next line", "Bcc:\r\n h@x.org\r\n", {named("Bcc", "\r\n h@x.org")}},
        {"no final line end", "A: 1", {named("A", "1")}},
        {"name alone at end", "A:", {named("A", "")}},
        {"empty value", "A: \r\nB: 2\r\n", {named("A", ""), named("B", "2")}},
        {"trailing blanks kept, leading skipped", "A:   x  \r\n", {named("A", "x  ")}},
        // A lone CR ends a line, as the message goes out.
        {"lone CR ends a line", "A: 1\rB: 2\r\rC: 3", {named("A", "1"), named("B", "2")}},
        {"lone CR fold", "A: 1\r 2\r\n", {named("A", "1\r 2")}},
        // An empty line first: the whole text is body.
        {"leading empty line", "\r\nA: 1\r\n", {}},
        {"leading empty line of LF", "\nA: 1\n", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(scan(msg_scan_headers, c.text), c.want) << c.what;
}

// Lines that are no field and continue none stop the scan there, and say so.
TEST(MsgScanHeaders, StopsAtALineThatIsNoField) {
    const struct {
        const char* what;
        std::string text;
        pieces want;
        size_t stop;  // offset of the line, or npos when the block was read whole
    } cases[] = {
        {"line without colon", "A: 1\r\nbad line\r\n\r\nB: 2", {named("A", "1")}, 6},
        {"empty name", "A: 1\r\n: v\r\n", {named("A", "1")}, 6},
        {"blank inside a name", "X Y: 1\r\n", {}, 0},
        {"UTF-8 in a name", "T\xc3\xb6: 1\r\n", {}, 0},
        {"control byte in a name", "A\x01: 1\r\n", {}, 0},
        {"continuation first", " A: 1\r\nB: 2\r\n", {}, 0},
        {"line of blanks first", "\t\r\nA: 1\r\n", {}, 0},
        {"mbox separator", "From me@x.org Mon Jan  1 00:00:00 2024\nTo: a@x.org\n", {}, 0},
        {"after a lone CR", "A: 1\rbad\r\n", {named("A", "1")}, 5},
        {"whole block", "A: 1\r\n\r\nno field\r\n", {named("A", "1")}, std::string::npos},
        {"whole text", "A: 1\r\n B", {named("A", "1\r\n B")}, std::string::npos},
        {"empty text", "", {}, std::string::npos},
    };
    for (const auto& c : cases) {
        guarded_text g(c.text);
        pieces out;
        const char* stopped_at = g.c_str();
        EXPECT_EQ(msg_scan_headers(&out, g.c_str(), collect, &stopped_at), 1);
        EXPECT_EQ(out, c.want) << c.what;
        const size_t got =
            stopped_at ? static_cast<size_t>(stopped_at - g.c_str()) : std::string::npos;
        EXPECT_EQ(got, c.stop) << c.what;
    }
}

// A field the callback refuses ends the scan at its line.
TEST(MsgScanHeaders, StopsAtARefusedField) {
    guarded_text g("A: 1\r\nB: 2\r\n 3\r\nC: 4\r\n");
    pieces out;
    const char* stopped_at = nullptr;
    msg_scan_headers(
        &out, g.c_str(),
        [](void* ctx, const char* a, uint32_t al, const char* b, uint32_t bl) {
            collect(ctx, a, al, b, bl);
            return std::string(a, al) == "B" ? 0 : 1;
        },
        &stopped_at);
    EXPECT_EQ(out, (pieces{named("A", "1"), named("B", "2\r\n 3")}));
    EXPECT_EQ(stopped_at, g.c_str() + 6);
}

TEST(MsgScanHeaders, ResultIsOne) {
    pieces out;
    EXPECT_EQ(msg_scan_headers(&out, "", collect), 1);
    EXPECT_EQ(msg_scan_headers(&out, "x", collect), 1);
    EXPECT_TRUE(out.empty());
}

// A callback that starts the header-list scan on the value it is given,
// as the message-file option does.
int nested(void* ctx, const char*, uint32_t, const char* value, uint32_t) {
    addr_scan_header_list(ctx, value, collect);
    return 1;
}

TEST(MsgScanHeaders, CallbackMayScanAgain) {
    pieces out;
    guarded_text g("To: a@b.com,\r\n c@d.com\r\nCc: e@f.com\r\n\r\nx@y.com\r\n");
    msg_scan_headers(&out, g.c_str(), nested);
    EXPECT_EQ(out, (pieces{bare("a@b.com"), bare("c@d.com"), bare("e@f.com")}));
}

// ---- unfolding ----

TEST(MsgUnfoldValue, Table) {
    struct {
        std::string text;
        uint32_t n;
        std::string want;
    } cases[] = {
        {"a\r\n b", 5, "a b"},                             // the blank of a fold stays
        {"a\n\tb", 4, "a\tb"}, {"a\r\nb", 4, "a\r\nb"},    // not a fold
        {"abc\r\n", 5, "abc"},                             // final line end
        {"abc\n", 4, "abc"},   {"abc\r\n def", 5, "abc"},  // n cuts after the line end
        {"abcdef", 3, "abc"},  {std::string("ab\0cd", 5), 5, "ab"},
        {"a\r", 2, "a\r"},  // a lone CR is kept
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        char* got = msg_unfold_value(c.text.data(), c.n);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::string(got), c.want) << ::testing::PrintToString(c.text);
        std::free(got);
    }
}

TEST(MsgUnfoldValue, ReadsNoMoreThanN) {
    // The value is not terminated: only n bytes may be read.
    std::vector<char> buf = {'a', '\r', '\n'};
    char* got = msg_unfold_value(buf.data(), 3);
    EXPECT_STREQ(got, "a");
    std::free(got);
}

// ---- hostile input ----

TEST(Scanners, RandomBytesStayInsideTheText) {
    std::mt19937 rng(7);
    const std::string pool = "ab.@<>\" ,\t\r\n:;'\x80\x99\xe2\xc3-_x1";
    for (int i = 0; i < 3000; ++i) {
        std::string text = test::random_bytes(rng, rng() % 80, i % 2 ? pool : std::string());
        text = text.substr(0, std::strlen(text.c_str()));
        guarded_text g(text);
        const char* begin = g.c_str();
        const char* end = begin + text.size();
        // The header-list scanner puts each address together anew: what it
        // reports must pass the address rule.
        bool rule_ok = true;
        addr_scan_header_list(&rule_ok, begin,
                              [](void* ctx, const char* a, uint32_t al, const char*, uint32_t) {
                                  if (!addr_is_mailbox(std::string(a, al).c_str()))
                                      *static_cast<bool*>(ctx) = false;
                                  return 1;
                              });
        ASSERT_TRUE(rule_ok) << test::to_hex(text);
        const scanner in_place[] = {addr_scan_list_file, msg_scan_headers};
        for (scanner fn : in_place) {
            struct bounds {
                const char* begin;
                const char* end;
                bool ok = true;
            } b{begin, end};
            fn(&b, begin, [](void* ctx, const char* a, uint32_t al, const char* n, uint32_t nl) {
                auto* bb = static_cast<bounds*>(ctx);
                if (a < bb->begin || a + al > bb->end) bb->ok = false;
                if (n && (n < bb->begin || n + nl > bb->end)) bb->ok = false;
                return 1;
            });
            ASSERT_TRUE(b.ok) << test::to_hex(text);
        }
        char* u = msg_unfold_value(begin, static_cast<uint32_t>(text.size() + 1));
        ASSERT_NE(u, nullptr);
        EXPECT_LE(std::strlen(u), text.size());
        std::free(u);
    }
}

TEST(Scanners, LongInput) {
    std::string many;
    for (int i = 0; i < 20000; ++i) many += "user" + std::to_string(i) + "@host.example\r\n";
    EXPECT_EQ(scan(addr_scan_list_file, many).size(), 20000u);
    std::string name(1 << 20, 'n');
    EXPECT_EQ(scan(addr_scan_list_file, name + " <a@b.com>").size(), 1u);
}

}  // namespace
}  // namespace ostrel
