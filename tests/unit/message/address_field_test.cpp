#include "message/address_field.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "message/address.hpp"
#include "message/guarded_text.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

struct mailbox {
    std::string addr;
    std::optional<std::string> name;  // without the enclosing quotes
    bool operator==(const mailbox&) const = default;
};

std::ostream& operator<<(std::ostream& os, const mailbox& m) {
    os << "{" << ::testing::PrintToString(m.addr) << ", ";
    return os << (m.name ? ::testing::PrintToString(*m.name) : "NULL") << "}";
}

using mailboxes = std::vector<mailbox>;

mailbox bare(const std::string& a) {
    return {a, std::nullopt};
}
mailbox named(const std::string& a, const std::string& name) {
    return {a, name};
}

struct result {
    mailboxes got;
    int ok = 0;
    std::optional<std::string> fault;
    bool well_formed = true;  // every name came between quotes
};

// Reads the value from a buffer that ends with its last byte: a read past
// it faults.
result read(const std::string& value, const char* refuse = nullptr) {
    test::guarded_text g(value, false);
    struct ctx {
        result r;
        const char* refuse;
    } c{{}, refuse};
    addr_field_fault fault;
    c.r.ok = addr_read_field(
        &c, g.c_str(), static_cast<uint32_t>(value.size()),
        [](void* p, const char* a, uint32_t al, const char* b, uint32_t bl) {
            auto* x = static_cast<ctx*>(p);
            std::string addr(a, al);
            if (x->refuse && addr == x->refuse) return 0;
            if (!b) {
                x->r.got.push_back(bare(addr));
                return 1;
            }
            if (bl < 2 || b[0] != '"' || b[bl - 1] != '"') x->r.well_formed = false;
            x->r.got.push_back(named(addr, bl < 2 ? "" : std::string(b + 1, bl - 2)));
            return 1;
        },
        &fault);
    if (!c.r.ok) {
        EXPECT_TRUE(fault.entry >= g.c_str() &&
                    fault.entry + fault.entry_len <= g.c_str() + value.size())
            << value;
        c.r.fault = std::string(fault.entry, fault.entry_len);
    }
    return c.r;
}

// python: whether Python's email package must read the value the same way
// (see AgreesWithPython).
struct ok_case {
    const char* what;
    std::string value;
    mailboxes want;
    bool python = true;
};

const ok_case ok_cases[] = {
    // Comments wherever blanks may stand, nested ones too.
    {"trailing comment", "bob@example.com (Bob Smith)", {bare("bob@example.com")}},
    {"nested comment", "a@x.org (a (nested) \\) comment)", {bare("a@x.org")}},
    {"comments in the addr-spec", "(c)a(x)@(y)example.org(z)", {bare("a@example.org")}},
    {"blanks and folds around dots", "a . b @ example\r\n . org", {bare("a.b@example.org")}},
    {"comment in a name", "John (the man) Smith <a@x.org>", {named("a@x.org", "John Smith")}},
    {"comment after an angle address", "John <a@x.org> (work)", {named("a@x.org", "John")}},
    // Folds.
    {"address on the next line", "\r\n h1@example.org", {bare("h1@example.org")}},
    {"fold after a comma", "a@x.org,\r\n\tb@x.org", {bare("a@x.org"), bare("b@x.org")}},
    {"fold between name and address",
     "\"John Smith\"\r\n <a@x.org>, Jane Doe\n\t<j@x.org>",
     {named("a@x.org", "John Smith"), named("j@x.org", "Jane Doe")}},
    {"fold inside a name", "John\r\n Smith <a@x.org>", {named("a@x.org", "John Smith")}},
    {"fold inside quotes", "\"John\r\n Smith\" <a@x.org>", {named("a@x.org", "John Smith")}},
    // Names: atoms, quoted strings, dots; blanks between words as written.
    {"escaped quotes",
     "\"John \\\"JJ\\\" Smith\" <a@b.org>",
     {named("a@b.org", "John \"JJ\" Smith")}},
    {"quoted-pairs", "\"a\\\\b\\c\" <a@b.org>", {named("a@b.org", "a\\bc")}},
    {"two quoted strings", "\"A\" \"B\" <a@x.org>", {named("a@x.org", "A B")}},
    {"blank kept inside quotes",
     "\"J\xc3\xbcrgen \" <b@x.org>",
     {named("b@x.org", "J\xc3\xbcrgen ")}},
    {"blanks between words", "John   Smith <a@x.org>", {named("a@x.org", "John   Smith")}, false},
    {"periods in a name", "John.Q. Public <a@x.org>", {named("a@x.org", "John.Q. Public")}},
    {"name against <", "John<a@x.org>", {named("a@x.org", "John")}},
    {"empty quoted name", "\"\" <a@x.org>", {named("a@x.org", "")}},
    {"encoded word kept",
     "=?utf-8?B?w6k=?= <e@x.org>",
     {named("e@x.org", "=?utf-8?B?w6k=?=")},
     false},
    {"raw UTF-8 name",
     "J\xc3\xbcrgen M\xc3\xbcller <j@x.org>",
     {named("j@x.org", "J\xc3\xbcrgen M\xc3\xbcller")}},
    {"specials in quotes",
     "\"Doe, John (J) <x@y>\" <a@x.org>",
     {named("a@x.org", "Doe, John (J) <x@y>")}},
    // Angle addresses.
    {"blanks inside the brackets", "< a@example.org >", {named("a@example.org", "")}},
    {"route", "<@relay:a@example.org>", {named("a@example.org", "")}},
    {"route of two", "<@r1.example, @r2.example : a@x.org>", {named("a@x.org", "")}},
    {"route with empty elements", "<,@r1,,@[192.0.2.1],:a@x.org>", {named("a@x.org", "")}},
    // Groups.
    {"group",
     "Hidden: a@example.org, b@example.org;",
     {bare("a@example.org"), bare("b@example.org")}},
    {"empty group", "undisclosed-recipients:;", {}},
    {"empty group with blanks", "undisclosed-recipients: (none) ;", {}},
    {"group members of every kind",
     "G: , a@x.org,, \"B\" <b@x.org> ;, c@x.org",
     {bare("a@x.org"), named("b@x.org", "B"), bare("c@x.org")}},
    {"two groups", "A: a@x.org;, B: b@x.org;", {bare("a@x.org"), bare("b@x.org")}},
    // Empty list elements.
    {"double comma",
     "a@example.org,, c@example.org",
     {bare("a@example.org"), bare("c@example.org")}},
    {"leading and trailing commas", " , a@x.org ,", {bare("a@x.org")}},
    {"comments only", "(nobody)", {}},
    {"empty", "", {}},
    // Local parts and domains the address rule takes.
    {"quoted local part",
     "\"a b\"@x.org, \"a,b\"@x.org",
     {bare("\"a b\"@x.org"), bare("\"a,b\"@x.org")}},
    {"fold inside a quoted local part", "\"a\r\n b\"@x.org", {bare("\"a b\"@x.org")}},
    {"domain literal",
     "a@[192.0.2.1], <b@[ IPv6:2001:db8::1 ]>",
     {bare("a@[192.0.2.1]"), named("b@[IPv6:2001:db8::1]", "")}},
    {"UTF-8 address",
     "j\xc3\xb6rg@b\xc3\xbc"
     "cher.example",
     {bare("j\xc3\xb6rg@b\xc3\xbc"
           "cher.example")}},
    {"dots of a local part", ".a..b.@x.org", {bare(".a..b.@x.org")}, false},
};

TEST(AddrReadField, Mailboxes) {
    for (const auto& c : ok_cases) {
        const result r = read(c.value);
        EXPECT_EQ(r.ok, 1) << c.what << ": " << r.fault.value_or("");
        EXPECT_EQ(r.got, c.want) << c.what;
        EXPECT_TRUE(r.well_formed) << c.what;
    }
}

struct fault_case {
    const char* what;
    std::string value;
    mailboxes before;  // reported ahead of the fault
    std::string entry;
    bool python = true;
};

const fault_case fault_cases[] = {
    {"phrase alone", "Doe, John <a@x.org>", {}, "Doe"},
    {"phrase, then an address", "ok@x.org, Doe, c@d.com", {bare("ok@x.org")}, "Doe"},
    {"two addresses without a comma", "a@b.com c@d.com", {}, "a@b.com c@d.com"},
    {"semicolon outside a group", "a@b.com; c@d.com", {}, "a@b.com; c@d.com"},
    {"words without a dot", "john smith@x.org", {}, "john smith@x.org"},
    {"words apart by a comment", "a (c) b@x.org", {}, "a (c) b@x.org"},
    {"atom after the domain", "a@x.org (c) d, e@x.org", {}, "a@x.org (c) d"},
    {"words after an angle address", "John <a@x.org> Smith", {}, "John <a@x.org> Smith"},
    {"two angle addresses", "<a@x.org> <b@x.org>", {}, "<a@x.org> <b@x.org>"},
    {"group not closed",
     "Team: a@x.org, b@x.org",
     {bare("a@x.org"), bare("b@x.org")},
     "Team: a@x.org, b@x.org"},
    {"group in a group", "G: a@x.org, H: b@x.org;;", {bare("a@x.org")}, "H: b@x.org"},
    {"group without a name", ": a@x.org;", {}, ": a@x.org;"},
    {"junk after a group", "G: a@x.org; b@x.org", {bare("a@x.org")}, "G: a@x.org; b@x.org"},
    {"groups without a comma",
     "A: a@x.org;B: b@x.org;",
     {bare("a@x.org")},
     "A: a@x.org;B: b@x.org;"},
    {"comment not closed", "a@x.org (open", {}, "a@x.org (open"},
    {"quote not closed", "\"open <a@x.org>", {}, "\"open <a@x.org>"},
    {"backslash at the end", "\"a\\", {}, "\"a\\"},
    {"no >", "<a@x.org", {}, "<a@x.org"},
    {"route without a colon", "<@relay a@x.org>", {}, "<@relay a@x.org>"},
    {"route without a domain", "<@:a@x.org>", {}, "<@:a@x.org>"},
    {"empty angle", "<>", {}, "<>"},
    // Control bytes have no place in a field; Python takes them.
    {"control byte", "a\x01@x.org", {}, "a\x01@x.org", false},
    {"control byte in a name", "\"a\x1b[0m\" <a@x.org>", {}, "\"a\x1b[0m\" <a@x.org>", false},
    {"control byte in a comment", "a@x.org (\x7f)", {}, "a@x.org (\x7f)", false},
    {"NUL", std::string("a\0b@x.org", 9), {}, std::string("a\0b@x.org", 9), false},
    // The address rule judges the addr-spec put together; some of what it
    // refuses Python takes.
    {"underscore in the domain",
     "a@x.org, a@b_c.org (B)",
     {bare("a@x.org")},
     "a@b_c.org (B)",
     false},
    {"empty label", "a@b..org", {}, "a@b..org"},
    {"trailing dot", "a@x.org.", {}, "a@x.org."},
    {"no domain", "a@, b@x.org", {}, "a@"},
    {"no local part", "@x.org", {}, "@x.org"},
    {"quoted word and atom", "\"a\".b@x.org", {}, "\"a\".b@x.org", false},
    {"at sign in quotes", "\"a@b\"@x.org", {}, "\"a@b\"@x.org", false},
};

TEST(AddrReadField, Faults) {
    for (const auto& c : fault_cases) {
        const result r = read(c.value);
        EXPECT_EQ(r.ok, 0) << c.what;
        EXPECT_EQ(r.got, c.before) << c.what;
        EXPECT_EQ(r.fault, c.entry) << c.what;
    }
}

TEST(AddrReadField, MailboxTheCallbackRefuses) {
    const result r = read("a@x.org, \"B\" <b@x.org> (Boss), c@x.org", "b@x.org");
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.got, mailboxes{bare("a@x.org")});
    EXPECT_EQ(r.fault, "\"B\" <b@x.org> (Boss)");
    // Without a fault to fill, the result alone says it.
    EXPECT_EQ(addr_read_field(nullptr, "x", 1, nullptr, nullptr), 0);
    EXPECT_EQ(addr_read_field(nullptr, nullptr, 0, nullptr, nullptr), 1);
}

// Random values from the bytes that matter: every address reported passes
// the address rule, every name comes between quotes, and nothing past the
// value is read (the buffer ends with it).
TEST(AddrReadField, RandomValues) {
    std::mt19937 rng(11);
    const std::string pool = "ab.@<>\"\\()[] ,;:\t\r\n\xc3\xa9\x01";
    for (int i = 0; i < 20000; ++i) {
        const std::string value = test::random_bytes(rng, rng() % 40, pool);
        const result r = read(value);
        ASSERT_TRUE(r.well_formed) << test::to_hex(value);
        for (const mailbox& m : r.got) ASSERT_TRUE(addr_is_mailbox(m.addr.c_str())) << m.addr;
    }
}

// Python's email package reads the same values: the same mailboxes where
// this reader takes the value, a defect where it refuses it. Not asked of
// it: what the program's own address rule and its refusal of control bytes
// decide, and names that Python rewrites (blank runs, encoded words).
TEST(AddrReadField, AgreesWithPython) {
    std::vector<std::string> values;
    std::vector<std::string> mine;
    auto pairs = [](const mailboxes& got) {
        std::string s;
        for (const mailbox& m : got) {
            if (!s.empty()) s += '\n';
            s += m.name.value_or("") + '\t' + m.addr;
        }
        return s;
    };
    for (const auto& c : ok_cases) {
        if (!c.python) continue;
        values.push_back(c.value);
        mine.push_back(pairs(c.want));
    }
    for (const auto& c : fault_cases) {
        if (!c.python) continue;
        values.push_back(c.value);
        mine.push_back("!");
    }
    test::scratch_dir dir;
    const auto py = test::python_map(
        dir,
        "    import email, email.policy\n"
        "    from email.errors import InvalidHeaderDefect\n"
        "    v = data.decode('utf-8', 'surrogateescape')\n"
        "    try:\n"
        "        h = email.message_from_string('To: ' + v + '\\r\\n\\r\\n',\n"
        "                                      policy=email.policy.default)['To']\n"
        "        bad = any(isinstance(d, InvalidHeaderDefect) for d in h.defects)\n"
        "        r = '\\n'.join(a.display_name + '\\t' + a.addr_spec for a in h.addresses)\n"
        "    except Exception:\n"
        "        bad = True\n"
        "    out(('!' if bad else r).encode('utf-8', 'surrogateescape'))\n",
        values);
    ASSERT_EQ(py.size(), values.size()) << "python3 did not run";
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(mine[i], py[i]) << values[i];
}

}  // namespace
}  // namespace ostrel
