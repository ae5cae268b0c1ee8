#include "message/address.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "message/scan.hpp"
#include "model/handle.hpp"
#include "support/punycode.hpp"
#include "support/tool_run.hpp"
#include "support/utf8.hpp"

namespace ostrel {
namespace {

std::vector<std::string> addresses(const addr_list& l) {
    std::vector<std::string> out;
    for (const auto& n : l) out.push_back(n.address);
    return out;
}

std::string idn(const char* domain) {
    char out[256];
    const char* r = addr_idn_to_ascii(domain, out);
    return r ? r : "(null)";
}

std::string normalised(const char* address, int utf8_ok, uint32_t* cls = nullptr) {
    char out[256];
    const char* r = addr_normalise(address, out, cls, utf8_ok);
    return r ? r : "(null)";
}

// ---- the list ----

TEST(AddrList, NewestFirst) {
    addr_list l;
    for (const char* a : {"z@x.org", "y@x.org", "x@x.org"})
        ASSERT_NE(addr_list_add(&l, a, nullptr, nullptr), nullptr);
    EXPECT_EQ(addresses(l), (std::vector<std::string>{"x@x.org", "y@x.org", "z@x.org"}));
    EXPECT_EQ(addr_list_free(&l), 1);
    EXPECT_TRUE(l.empty());
}

TEST(AddrList, Entries) {
    addr_list l;
    EXPECT_EQ(addr_list_add(&l, "no-at-sign", nullptr, nullptr), nullptr);
    EXPECT_EQ(addr_list_add(&l, (std::string(250, 'a') + "@b.org").c_str(), nullptr, nullptr),
              nullptr);
    EXPECT_EQ(addr_list_add(&l, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(l.empty());

    addr_node* n = addr_list_add(&l, "a@b.org", "Plain\tName", "sf");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->name, "Plain\tName");
    EXPECT_EQ(n->dsn_flags, 6u);
    n = addr_list_add(&l, "a@b.org", "J\xc3\xbcrgen", nullptr);
    EXPECT_EQ(n->name, "=?utf-8?B?SsO8cmdlbg==?=");
    EXPECT_EQ(n->dsn_flags, 0u);
    EXPECT_EQ(addr_list_add(&l, "a@b.org", "", nullptr)->name, "");
    EXPECT_EQ(addr_list_add(&l, "a@b.org", nullptr, nullptr)->name, std::nullopt);
    EXPECT_EQ(l.size(), 4u);
}

TEST(AddrDsn, LettersAndNotifyText) {
    struct {
        const char* letters;
        uint32_t flags;
    } parse[] = {{"sf", 6}, {"NSFD", 15}, {"nsfd", 15}, {"xyz, 123", 0}, {"", 0}, {"d-d", 8}};
    for (const auto& c : parse) EXPECT_EQ(addr_dsn_parse(c.letters), c.flags) << c.letters;
    EXPECT_EQ(addr_dsn_parse(nullptr), 0u);

    struct {
        uint32_t flags;
        const char* text;
    } notify[] = {{0, ""},
                  {1, " NOTIFY=NEVER"},
                  {15, " NOTIFY=NEVER"},
                  {6, " NOTIFY=SUCCESS,FAILURE"},
                  {8, " NOTIFY=DELAY"},
                  {14, " NOTIFY=SUCCESS,FAILURE,DELAY"},
                  {10, " NOTIFY=SUCCESS,DELAY"}};
    for (const auto& c : notify) {
        char out[30];
        std::memset(out, 'x', sizeof out);
        EXPECT_STREQ(addr_dsn_notify_text(out, c.flags), c.text) << c.flags;
    }
}

// ---- classes and conversion ----

TEST(AddrClassify, Table) {
    std::string at254 = std::string(250, 'a') + "@b.c";
    ASSERT_EQ(at254.size(), 254u);
    struct {
        std::string address;
        uint32_t cls;
    } cases[] = {
        {"a@b.org", 1},
        {"@b.org", 0},
        {"\"a b\"@b.org", 1},
        {"a@[192.0.2.1]", 1},
        {"a@b.org> NOTIFY=SUCCESS", 0},
        {"no-at", 0},
        {at254, 1},
        {at254 + "c", 0},
        {std::string(1000, 'a'), 0},
        {"a@\xc3\xa9xample.org", 2},
        {"a@example.\xc3\xa9", 2},
        {"a@b\x01.org", 0},  // a control byte makes any address unusable
        {"a@b.org\r\nBcc: x@y.org", 0},
        {"a\x7f@b.org", 0},
        {"\xc3\xa9@b.org", 3},
        {"\xc3\xa9@\xc3\xa9.org", 3},
        {"a\t@b.org", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(addr_classify(c.address.c_str()), c.cls) << c.address;
    EXPECT_EQ(addr_classify(nullptr), 0u);
}

// ---- the address rule ----

// The accepted and refused texts of the one rule that every option and reader
// applies: one mailbox, nothing before or after it.
const char* const mailboxes[] = {
    "a@b.org",
    "root@localhost",
    "first.last+tag@sub.example.org",
    "o'brien@x.com",
    "!#$%&'*+-/=?^_`{|}~@x.org",
    ".a..b.@x.org",  // the dots of a local part, as list files always took them
    "\"john smith\"@example.org",
    "\"a:b,c;d<e>(f)\"@example.org",
    "\"q\\\"uote\"@example.org",
    "j\xc3\xb6rg@example.org",
    "\xe2\x80\x99x@b.com",
    "\"\xc3\xa9 t\xc3\xa9\"@example.org",
    "user@m\xc3\xbcnchen.de",
    "\xd0\xbf\xd1\x80@\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84",
    "a@[192.0.2.1]",
    "a@[IPv6:2001:db8::1]",
    "a@[IPv6:::ffff:192.0.2.1]",
    "a@x-.-y",
    // The full stops that domain mapping takes for ".".
    "a@\xe4\xbe\x8b\xe3\x81\x88\xe3\x80\x82\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88",
    "a@\xef\xbd\x81\xef\xbc\x8e\xef\xbd\x82\xef\xbd\xa1\xc3\xa9",
};

const char* const not_mailboxes[] = {
    "",
    "bob",
    "@b.org",
    "a@",
    "a@b.org>",
    "me@example.org> RET=FULL ENVID=x",
    "you@example.org> NOTIFY=SUCCESS ORCPT=rfc822;boss@example.org",
    "a@example.org, b@example.org",
    "r@example.org>, \"x\" <y@evil.example",
    "<a@b.org>",
    "Name <a@b.org>",
    "a b@c.org",
    "a@b .org",
    "a@b.org ",
    " a@b.org",
    "a\t@b.org",
    "a,b@c.org",
    "a;b@c.org",
    "a(b)@c.org",
    "a@b.org(comment)",
    "a:b@c.org",
    "a@b@c.org",
    "a@b.org.",
    "a@.b.org",
    "a@b..org",
    "a@b_c.org",
    "a@b.org\r\nBcc: x@y.org",
    "a\x7f@b.org",
    "\"\"@b.org",
    "\"a@b\"@c.org",  // every reader takes the domain after the first "@"
    "\"open@b.org",
    "\"a\r\nb\"@c.org",
    "\"a\\\"@c.org",
    "\"a\"b@c.org",
    "a\"b\"@c.org",
    "\x80x@b.com",  // a stray continuation byte is no UTF-8
    "\xc3x@b.com",
    "a@\xc0\xaf.org",
    "a@\xed\xa0\x80.org",
    "a@[]",
    "a@[192.0.2.1",
    "a@[1.2.3.4]x",
    "a@[1 2]",
    "a@[a>b]",
    "a@b.[1.2.3.4]",
    "a@\xc3\xa9[1]",
    "a@b\xc3\xa9\xe3\x80\x82",  // a full stop variant ends no domain either
    "a@\xef\xbc\x8e\xc3\xa9.org",
    "a@\xc3\xa9\xef\xbd\xa1.org",
};

// Mailboxes by the scanners' grammar whose domains do not convert: what
// IDNA2008 refuses (and the readers' callbacks with it).
const char* const unconvertible[] = {
    "a@-\xc3\xa9.org",
    "a@ab--\xc3\xa9.org",
    "a@\xe3\x85\xa4.org",
    "a@\xd8\xa7x.org",
};

// Code points that show as nothing, of every kind that is refused.
const char32_t invisible[] = {
    0x0085, 0x009B, 0x009F,  // C1 controls
    0x00AD, 0x061C, 0x180E, 0x200B, 0x200C,  0x200D,   0x200E,  0x200F, 0x202A, 0x202B,
    0x202C, 0x202D, 0x202E, 0x2060, 0x2061,  0x2062,   0x2063,  0x2064, 0x2066, 0x2067,
    0x2068, 0x2069, 0xFEFF, 0xFFF9, 0x110BD, 0xE0001,  0xE007F,  // format characters
    0x00A0, 0x1680, 0x2000, 0x200A, 0x202F,  0x205F,   0x3000,   // spaces
    0x2028, 0x2029,                                              // line and paragraph separators
    0xFDD0, 0xFDEF, 0xFFFE, 0xFFFF, 0x1FFFE, 0x10FFFF,           // noncharacters
};

std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    s += static_cast<char>(0x80 | (cp & 0x3F));
    return s;
}

// An address with c at a position where a visible character may stand.
std::vector<std::string> placed(const std::string& c) {
    return {c + "jane@example.com",          "ja" + c + "ne@example.com",
            "jane" + c + "@example.com",     "\"ja" + c + "ne\"@example.com",
            "jane@" + c + "example.com",     "jane@exa" + c + "mple.com",
            "jane@example" + c + ".com",     "jane@example.com" + c,
            "jane@b\xc3\xbc" + c + "cher.de"};
}

TEST(AddrIsMailbox, Table) {
    for (const char* a : mailboxes) EXPECT_TRUE(addr_is_mailbox(a)) << test::to_hex(a);
    for (const char* a : not_mailboxes) EXPECT_FALSE(addr_is_mailbox(a)) << test::to_hex(a);
    for (const char* a : unconvertible) {
        EXPECT_FALSE(addr_is_mailbox(a)) << test::to_hex(a);
        addr_list l;
        EXPECT_EQ(addr_cb_list_file(&l, a, static_cast<uint32_t>(std::strlen(a)), nullptr, 0), 0)
            << test::to_hex(a);
    }
    EXPECT_FALSE(addr_is_mailbox(nullptr));
}

// No address holds a code point that shows as nothing, wherever it stands,
// and no reader gives an entry that holds one; a visible one stands there.
TEST(AddrIsMailbox, NothingInvisible) {
    for (const std::string& a : placed("\xc3\xa9")) EXPECT_TRUE(addr_is_mailbox(a.c_str())) << a;
    for (char32_t cp : invisible) {
        const std::string c = utf8(cp);
        for (const std::string& a : placed(c)) {
            EXPECT_FALSE(addr_is_mailbox(a.c_str())) << test::to_hex(a);
            EXPECT_EQ(addr_classify(a.c_str()), 0u) << test::to_hex(a);
            std::vector<std::string> seen;
            auto keep = [](void* ctx, const char* e, uint32_t n, const char*, uint32_t) {
                static_cast<std::vector<std::string>*>(ctx)->emplace_back(e, n);
                return 1;
            };
            addr_scan_list_file(&seen, a.c_str(), keep);
            addr_scan_header_list(&seen, a.c_str(), keep);
            for (const std::string& e : seen)
                EXPECT_EQ(e.find(c), std::string::npos) << test::to_hex(a);
        }
    }
}

// One limit, 254 bytes, for the address as it is given and for its ASCII
// form: "\xc3\xa9" (2 bytes) is "xn--9ca" (7 bytes) there.
TEST(AddrIsMailbox, OneLengthBeforeAndAfterConversion) {
    const struct {
        std::string address;
        bool ok;
    } cases[] = {
        {std::string(246, 'l') + "@b.org.x", true},        // 254
        {std::string(247, 'l') + "@b.org.x", false},       // 255
        {std::string(242, 'l') + "@\xc3\xa9.org", true},   // 249 given, 254 converted
        {std::string(243, 'l') + "@\xc3\xa9.org", false},  // 250 given, 255 converted
        // Short in ASCII (xn--tdaaaaaaaaaaaaaaaaaaaaaaaaaa.de), too long as given.
        {std::string(200, 'l') + "@" +
             [] {
                 std::string u;
                 for (int i = 0; i < 27; ++i) u += "\xc3\xbc";
                 return u;
             }() +
             ".de",
         false},
        {"\xc3\xa9" + std::string(246, 'l') + "@b.org", true},  // no ASCII form: 254 as given
        {"\xc3\xa9" + std::string(247, 'l') + "@b.org", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(addr_is_mailbox(c.address.c_str()), c.ok) << c.address.size();
        EXPECT_EQ(addr_classify(c.address.c_str()) != 0, c.ok) << c.address.size();
    }
}

// The readers of list files and message headers take an address by the
// same rule: a mailbox is one entry, bare or in brackets, and a text that is
// none never comes out of them whole.
TEST(AddrIsMailbox, ReadersApplyTheSameRule) {
    using scanner = int (*)(void*, const char*, msg_scan_cb);
    auto entries = [](scanner scan, const std::string& text) {
        std::vector<std::string> out;
        scan(&out, text.c_str(), [](void* ctx, const char* a, uint32_t al, const char*, uint32_t) {
            static_cast<std::vector<std::string>*>(ctx)->emplace_back(a, al);
            return 1;
        });
        return out;
    };
    auto list_file = [&](const std::string& t) {
        return entries(static_cast<scanner>(addr_scan_list_file), t);
    };
    auto header = [&](const std::string& t) { return entries(addr_scan_header_list, t); };
    for (const char* a : mailboxes) {
        const std::vector<std::string> one = {a};
        EXPECT_EQ(list_file(a), one) << test::to_hex(a);
        EXPECT_EQ(list_file(std::string("<") + a + ">"), one) << test::to_hex(a);
        EXPECT_EQ(header(std::string(a) + ", x@y.org").at(0), a) << test::to_hex(a);
        EXPECT_EQ(header(std::string("\"N\" <") + a + ">"), one) << test::to_hex(a);
    }
    for (const char* a : not_mailboxes) {
        for (const auto& got : {list_file(a), header(a), list_file(std::string("<") + a + ">")}) {
            for (const std::string& e : got) EXPECT_NE(e, a) << test::to_hex(a);
        }
    }
}

TEST(AddrIsMailbox, RandomTextsAgreeWithTheListReader) {
    std::mt19937 rng(5);
    const std::string pool = "ab.@\"\\ <>,;()[]:-\xc3\xa9\x80\x01";
    for (int i = 0; i < 20000; ++i) {
        std::string t = test::random_bytes(rng, rng() % 24, pool);
        t = t.substr(0, std::strlen(t.c_str()));
        const char* end = addr_scan_mailbox(t.c_str());
        ASSERT_EQ(addr_is_mailbox(t.c_str()), end && *end == '\0') << test::to_hex(t);
        if (!end) continue;
        ASSERT_TRUE(end > t.c_str() && end <= t.c_str() + t.size()) << test::to_hex(t);
        // A mailbox ends the text or stops before a byte no address holds.
        if (*end) {
            ASSERT_FALSE(addr_is_mailbox(t.substr(0, end - t.c_str() + 1).c_str()))
                << test::to_hex(t);
        }
    }
}

// libidn2's own tool, for a lookup with non-transitional mapping: the A-label
// form, or "(null)" when it refuses the domain.
std::string idn2_tool(const std::string& args, const std::string& domain) {
    int status = -1;
    std::string out = test::run_command(
        "LC_ALL=C.UTF-8 idn2 --quiet " + args + " -- " + test::shell_quote(domain) + " 2>/dev/null",
        &status);
    EXPECT_TRUE(status == 0 || status == 1) << "idn2 did not run (status " << status << ")";
    if (status != 0) return "(null)";
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::vector<std::string> labels_of(const std::string& domain) {
    std::vector<std::string> out;
    for (size_t start = 0;;) {
        size_t dot = domain.find('.', start);
        out.push_back(domain.substr(start, dot - start));
        if (dot == std::string::npos) return out;
        start = dot + 1;
    }
}

// The program's own Punycode encoder on a U-label.
std::string own_punycode(const std::string& label) {
    std::vector<uint32_t> cps;
    const auto* p = reinterpret_cast<const unsigned char*>(label.data());
    for (size_t i = 0; i < label.size();) {
        char32_t cp = 0;
        size_t n = utf8_decode(p + i, label.size() - i, &cp);
        if (!n) return "(bad UTF-8)";
        cps.push_back(cp);
        i += n;
    }
    char out[256];
    size_t len = sizeof out;
    if (addr_punycode_encode(cps.size(), cps.data(), nullptr, &len, out) != punycode_success)
        return "(failed)";
    return std::string(out, len);
}

// Non-ASCII domains convert as the idn2 tool converts them for a lookup
// (case folding, NFC, the full stop variants, IDNA2008's refusals), and the
// program's own Punycode encoder writes each A-label of the result alike.
TEST(AddrIdnToAscii, AgreesWithIdn2) {
    std::string long_label;
    for (int i = 0; i < 60; ++i) long_label += "\xc3\xbc";
    const std::vector<std::string> domains = {
        "b\xc3\xbc"
        "cher.de",
        "B\xc3\x9c"
        "CHER.example",
        "MixedCase.M\xc3\x9cnchen.de",
        "\xe4\xbe\x8b\xe3\x81\x88\xe3\x80\x82\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88",
        "\xef\xbd\x81\xef\xbd\x82\xef\xbd\x83\xef\xbc\x8e\xef\xbd\x83\xef\xbd\x8f\xef\xbd\x8d",
        "x\xef\xbd\xa1\xc3\xa9.org",
        "fa\xc3\x9f.de",
        "\xce\xb1\xcf\x82.gr",
        "\xef\xac\x80.de",
        "cafe\xcc\x81.example",
        "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84",
        "\xe2\x84\xab.example",
        "caf\xc3\xa9.\xf0\x9f\x98\x80.example",
        "\xc3\xbc.xn--zz",
        long_label + ".de",
        std::string(59, 'a') + "\xc3\xbc.de",
        std::string(55, 'a') + "\xc3\xbc.de",
        "-\xc3\xbc.de",
        "\xc3\xbc-.de",
        "ab--\xc3\xbc.de",
        "\xe3\x85\xa4.com",
        "\xd9\xa1\xd9\xa2\xd9\xa3.com",
        "a\xd7\x90.com",
        "\xd7\x90\xd7\x91.example",
        "\xcc\x81x.de",
        "\xe2\x82\xac.de",
    };
    for (const std::string& d : domains) {
        const std::string want = idn2_tool("-N", d);
        EXPECT_EQ(idn(d.c_str()), want) << d;
        if (want == "(null)") continue;
        const std::vector<std::string> a_labels = labels_of(want);
        const std::vector<std::string> u_labels = labels_of(idn2_tool("-d", want));
        ASSERT_EQ(a_labels.size(), u_labels.size()) << d;
        for (size_t i = 0; i < a_labels.size(); ++i) {
            if (a_labels[i].rfind("xn--", 0) != 0) continue;
            EXPECT_EQ("xn--" + own_punycode(u_labels[i]), a_labels[i]) << d;
        }
    }
}

TEST(AddrIdnToAscii, UnusableDomains) {
    std::string many;
    for (int i = 0; i < 40; ++i) many += "\xc3\xa9.";  // 40 x "xn--9ca." = 320 bytes
    const std::string cases[] = {
        "b\xc3.de",                 // truncated sequence
        "\x80x.de",                 // stray continuation byte
        "\xc3x.de",                 // missing continuation byte
        "\xc0\xaf.de",              // overlong
        "\xed\xa0\x80.de",          // surrogate
        "\xf4\x90\x80\x80.de",      // past U+10FFFF
        "\xf8\x88\x80\x80\x80.de",  // five-byte form
        "\xc3\xa9\x01.de",          // control byte in a converted label
        "\xc3\xa9 x.de",            // a blank
        // Code points that show as nothing, some of which the mapping would drop.
        "b\xc3\xbc\xc2\xad"
        "cher.de",
        "b\xc3\xbc\xe2\x80\x8b"
        "cher.de",
        "\xc3\xbc\xe2\x80\x8d.de", "\xef\xbb\xbf\xc3\xbc.de", "\xc3\xbc\xc2\xa0.de",
        // Full-width punctuation that the mapping would make ASCII punctuation.
        "a\xef\xbc\x9c"
        "b.\xc3\xbc",  // U+FF1C "<"
        "a\xef\xbc\xa0"
        "b.\xc3\xbc",  // U+FF20 "@"
        "a\xef\xbc\x9a"
        "b.\xc3\xbc",  // U+FF1A ":"
        "\xef\xbc\x88"
        "a\xef\xbc\x89.\xc3\xbc",  // U+FF08, U+FF09 "(" ")"
        "a\xef\xbc\xbf"
        "b.\xc3\xbc",           // U+FF3F "_"
        many,                   // result longer than 255 bytes
        std::string(256, 'a'),  // does not fit the buffer at all
    };
    for (const auto& d : cases) EXPECT_EQ(idn(d.c_str()), "(null)") << test::to_hex(d);
    EXPECT_EQ(idn(std::string(255, 'a').c_str()), std::string(255, 'a'));
    EXPECT_EQ(idn(""), "");
    EXPECT_EQ(idn(nullptr), "(null)");
}

TEST(AddrIdnToAscii, RandomBytesGiveAsciiOrNothing) {
    std::mt19937 rng(11);
    const std::string pool = "ab.-\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x80\xff\x01 ";
    for (int i = 0; i < 5000; ++i) {
        std::string d = test::random_bytes(rng, rng() % 300, i % 2 ? pool : std::string());
        d = d.substr(0, std::strlen(d.c_str()));
        char out[256 + 8];
        std::memset(out, 'x', sizeof out);
        const char* r = addr_idn_to_ascii(d.c_str(), out);
        for (size_t k = 256; k < sizeof out; ++k) ASSERT_EQ(out[k], 'x') << test::to_hex(d);
        if (!r) continue;
        ASSERT_LT(std::strlen(r), 256u);
        for (const char* p = r; *p; ++p) ASSERT_TRUE(*p >= 0x20 && *p < 0x7F) << test::to_hex(d);
        std::string addr = "u@" + d;
        char norm[256];
        addr_normalise(addr.c_str(), norm, nullptr, 0);
    }
}

TEST(AddrNormalise, Table) {
    uint32_t cls = 99;
    EXPECT_EQ(normalised("user@b\xc3\xbc"
                         "cher.de",
                         0, &cls),
              "user@xn--bcher-kva.de");
    EXPECT_EQ(cls, 2u);
    EXPECT_EQ(normalised("user@b\xc3\xbc"
                         "cher.de",
                         1),
              "user@b\xc3\xbc"
              "cher.de");
    EXPECT_EQ(normalised("j\xc3\xb6rg@example.org", 0, &cls), "(null)");
    EXPECT_EQ(cls, 3u);
    EXPECT_EQ(normalised("j\xc3\xb6rg@example.org", 1), "j\xc3\xb6rg@example.org");
    EXPECT_EQ(normalised("plain@example.org", 0, &cls), "plain@example.org");
    EXPECT_EQ(cls, 1u);
    EXPECT_EQ(normalised("a@.example..org.", 0), "a@example.org");
    EXPECT_EQ(normalised("no-at-sign", 0, &cls), "(null)");
    EXPECT_EQ(cls, 0u);
    EXPECT_EQ(normalised("a@b\xc3.de", 0), "(null)");
    // Fits before conversion, not after: unusable rather than cut.
    std::string longish =
        std::string(200, 'l') + "@" + "\xc3\xa9\xc3\xa9\xc3\xa9.\xc3\xa9\xc3\xa9.org";
    for (int i = 0; i < 5; ++i) longish += ".\xc3\xa9";
    ASSERT_LE(longish.size(), 254u);
    EXPECT_EQ(normalised(longish.c_str(), 0), "(null)");
    // Taken as it is, an address must fit the 256-byte buffer whole.
    const std::string fits = std::string(255 - 8, 'u') + "@b.org.x";
    ASSERT_EQ(fits.size(), 255u);
    EXPECT_EQ(normalised(fits.c_str(), 1), fits);
    const std::string too_long = std::string(300, 'u') + "@example.org";
    EXPECT_EQ(normalised(too_long.c_str(), 1, &cls), "(null)");
    EXPECT_EQ(cls, 0u);
}

TEST(AddrQuoteDisplayName, ParsesBack) {
    const std::vector<std::string> names = {"Plain Name", "Say \"hi\"", "back\\slash",
                                            "\"\\\"",     "Doe, John",  "a\\\"b"};
    std::vector<std::string> fields;
    for (const auto& n : names) {
        std::string field(1, '"');
        field += addr_quote_display_name(n.c_str());
        field += "\" <a@b.org>";
        fields.push_back(field);
    }
    EXPECT_EQ(addr_quote_display_name("Say \"hi\""), "Say \\\"hi\\\"");
    EXPECT_EQ(addr_quote_display_name(nullptr), "");
    test::scratch_dir dir;
    auto py = test::python_map(
        dir,
        "    from email.utils import getaddresses\n"
        "    r = getaddresses([data.decode()])\n"
        "    out((r[0][0] if len(r) == 1 and r[0][1] == 'a@b.org' else '?').encode())\n",
        fields);
    ASSERT_EQ(py.size(), names.size()) << "python3 did not run";
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(py[i], names[i]) << fields[i];
}

// ---- callbacks ----

TEST(AddrCbListFile, FillsTheList) {
    addr_list l;
    std::string text =
        "one@a.org\r\n"
        "\"Two, Q\" <two@a.org>  Three Names <three@a.org>\n"
        "\"A\" \"B\" <four@a.org> \"J\xc3\xbcrgen\" <five@a.org>\n"
        "\"\" <six@a.org> <seven@a.org> o'neil@a.org\n"
        "after@a.org";
    addr_scan_list_file(&l, text.c_str(), addr_cb_list_file);
    const struct {
        const char* address;
        std::optional<std::string> name;
    } want[] = {
        {"after@a.org", std::nullopt},
        {"o'neil@a.org", std::nullopt},
        {"seven@a.org", std::nullopt},
        {"six@a.org", std::nullopt},
        {"five@a.org", "=?utf-8?B?SsO8cmdlbg==?="},
        {"four@a.org", "A\" \"B"},
        {"three@a.org", "Three Names"},
        {"two@a.org", "Two, Q"},
        {"one@a.org", std::nullopt},
    };
    ASSERT_EQ(l.size(), std::size(want));
    for (size_t i = 0; i < l.size(); ++i) {
        EXPECT_EQ(l[i].address, want[i].address);
        EXPECT_EQ(l[i].name, want[i].name) << l[i].address;
        EXPECT_EQ(l[i].dsn_flags, 0u);
    }
}

// An unusable entry fails the list there, so the caller sees a file not read
// to its end rather than a list that lost a recipient unseen.
TEST(AddrCbListFile, RefusesUnusableAddresses) {
    addr_list l;
    std::string a255 = std::string(248, 'a') + "@b.org";  // 254: class 1
    std::string a256 = std::string(249, 'a') + "@b.org";  // 255 bytes: class 0
    EXPECT_EQ(addr_cb_list_file(&l, a255.c_str(), 254, nullptr, 0), 1);
    EXPECT_EQ(addr_cb_list_file(&l, a256.c_str(), 255, nullptr, 0), 0);
    std::string a300(300, 'a');
    EXPECT_EQ(addr_cb_list_file(&l, a300.c_str(), 300, nullptr, 0), 0);
    EXPECT_EQ(addr_cb_list_file(&l, "no-at-sign", 10, nullptr, 0), 0);
    EXPECT_EQ(l.size(), 1u);

    const std::string bad[] = {std::string(300, 'x') + "@a.org", "nobody"};
    for (const std::string& entry : bad) {
        addr_list list;
        std::string text = "one@a.org\n" + entry + " after@a.org\n";
        const char* stopped_at = nullptr;
        addr_scan_list_file(&list, text.c_str(), addr_cb_list_file, &stopped_at);
        ASSERT_NE(stopped_at, nullptr);
        EXPECT_EQ(std::string(stopped_at).substr(0, entry.size()), entry);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].address, "one@a.org");
    }
}

class MessageFileHeaders : public ::testing::Test {
  protected:
    void scan(const std::string& block, uint32_t flags2) {
        h.flags2 = flags2;
        msg_scan_headers(&h, block.c_str(), msg_cb_header);
    }
    mail_handle h;
};

TEST_F(MessageFileHeaders, ToCcAndBcc) {
    scan(
        "T: t@x.org\r\nTo: first@x.org,\r\n \"N\" <second@x.org>\r\n"
        "cC: c@x.org\r\nFROM: f@x.org\r\nToo: no@x.org\r\nbcc: b1@x.org,\r\n\tb2@x.org\r\n"
        "Bccx: no@x.org\r\nBcc : b3@x.org\r\nBcc:b4@x.org\r\nBcc:\r\n Hidden: b5@x.org;\r\n"
        "\r\nTo: body@x.org\r\n",
        mail_f2_take_rcpts);
    EXPECT_EQ(addresses(h.bcc), (std::vector<std::string>{"b5@x.org", "b4@x.org", "b3@x.org",
                                                          "b2@x.org", "b1@x.org"}));
    EXPECT_EQ(addresses(h.to), (std::vector<std::string>{"second@x.org", "first@x.org"}));
    EXPECT_EQ(h.to[0].name, "N");
    EXPECT_EQ(h.to[1].name, "") << "an entry without a name gets an empty name";
    EXPECT_EQ(addresses(h.cc), std::vector<std::string>{"c@x.org"});
    EXPECT_FALSE(h.from_addr.has_value());
}

TEST_F(MessageFileHeaders, FromKeepsTheLast) {
    scan("From: \"First\" <a@x.org>, \"J\xc3\xbcrgen \" <b@x.org>\r\nTo: t@x.org\r\n\r\n",
         mail_f2_take_from);
    EXPECT_EQ(h.from_addr, "b@x.org");
    EXPECT_EQ(h.from_name, "J\xc3\xbcrgen ") << "stored unchanged, not encoded";
    EXPECT_TRUE(h.to.empty());
    scan("From: bare@x.org\r\n", mail_f2_take_from);
    EXPECT_EQ(h.from_addr, "bare@x.org");
    EXPECT_FALSE(h.from_name.has_value());
}

// An entry that is no mailbox fails its field with a line that names the
// file, the field and the entry; a field that is not wanted is not read.
TEST_F(MessageFileHeaders, RefusedEntries) {
    const std::string in_file = " entry in message file (m.eml): ";
    const std::string long_addr = std::string(250, 'a') + "@x.org";  // the rule takes it
    const struct {
        std::string block;
        uint32_t flags2;
        std::string error;  // empty: read whole
    } cases[] = {
        {"To: a@x.org\r\nCc: ok@x.org, Doe\r\nBcc: b@x.org\r\n", mail_f2_take_rcpts,
         "Invalid Cc" + in_file + "Doe"},
        {"bcc: a@x.org (Boss),\r\n a@b_c.org (Other)\r\n", mail_f2_take_rcpts,
         "Invalid Bcc" + in_file + "a@b_c.org (Other)"},
        {"To: Team: a@x.org, b@x.org\r\n", mail_f2_take_rcpts,
         "Invalid To" + in_file + "Team: a@x.org, b@x.org"},
        {"To: " + long_addr + "\r\n", mail_f2_take_rcpts, "Invalid To" + in_file + long_addr},
        {"From: \"A\" <a@x.org> <b@x.org>\r\n", mail_f2_take_from,
         "Invalid From" + in_file + "\"A\" <a@x.org> <b@x.org>"},
        {"To: Doe\r\nFrom: a@x.org\r\n", mail_f2_take_from, ""},
        {"From: Doe\r\nTo: a@x.org\r\n", mail_f2_take_rcpts, ""},
    };
    for (const auto& c : cases) {
        mail_handle m;
        m.email_file = "m.eml";
        m.flags2 = c.flags2;
        const char* stopped_at = nullptr;
        msg_scan_headers(&m, c.block.c_str(), msg_cb_header, &stopped_at);
        EXPECT_EQ(m.last_error.value_or(""), c.error) << c.block;
        EXPECT_EQ(stopped_at != nullptr, !c.error.empty()) << c.block;
    }
}

TEST_F(MessageFileHeaders, NothingTakenWithoutFlags) {
    scan("To: a@x.org\r\nFrom: b@x.org\r\nBcc: c@x.org\r\n\r\n", 0);
    EXPECT_TRUE(h.to.empty());
    EXPECT_TRUE(h.bcc.empty());
    EXPECT_FALSE(h.from_addr.has_value());
}

TEST(AddrCbFrom, LimitsLeaveTheFieldsAlone) {
    mail_handle h;
    h.from_addr = "keep@x.org";
    h.from_name = "Keep";
    std::string long_name(256, 'n');
    EXPECT_EQ(addr_cb_from(&h, "a@x.org", 7, long_name.c_str(), 256), 0);
    std::string long_addr(256, 'a');
    EXPECT_EQ(addr_cb_from(&h, long_addr.c_str(), 256, nullptr, 0), 0);
    EXPECT_EQ(h.from_addr, "keep@x.org");
    EXPECT_EQ(h.from_name, "Keep");
    EXPECT_EQ(addr_cb_to(&h, "a@x.org", 7, long_name.c_str(), 256), 0);
    EXPECT_EQ(addr_cb_to(&h, "a@x.org", 7, nullptr, 0), 1);
    EXPECT_EQ(addr_cb_cc(&h, "bad", 3, nullptr, 0), 0) << "a refused add is told";
    EXPECT_EQ(h.to.size(), 1u);
    EXPECT_TRUE(h.cc.empty());
}

}  // namespace
}  // namespace ostrel
