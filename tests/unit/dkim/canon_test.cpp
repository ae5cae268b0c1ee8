#include "dkim/canon.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "support/tool_run.hpp"

namespace ostrel {
namespace {

using namespace std::string_literals;

bool have_dkimpy() {
    int status = 0;
    test::run_command("/usr/bin/python3 -c 'import dkim' 2>/dev/null", &status);
    return status == 0;
}

std::string relaxed_field(const std::string& f) {
    std::string out;
    dkim_relaxed_header_text(f.data(), f.size(), &out);
    return out + "\r\n";
}

// The edge cases of both forms, and the line ends, blanks and bytes that a
// rendered message can hold.
const std::vector<std::string> bodies = {
    ""s,
    "\r\n"s,
    "\r\n\r\n\r\n"s,
    "text \t\r\n\r\n\r\n"s,
    "one\r\ntwo"s,
    "  lead and  inner\t\truns\r\n"s,
    "a\r\n \t \r\n\r\nb\r\n \r\n"s,
    "line\r\n\r\n  \r\n"s,
    "bare\nlf\n\r\nand\rcr\r\n"s,
    "ends in cr\r"s,
    "ends in cr lf cr\r\n\r"s,
    "nul\0byte \0 here\r\n"s,
    ".dot\r\n..two\r\n.\r\n"s,
    std::string(1023, 'x') + "\r\n",
    std::string(1024, 'y') + " \r\n",
    std::string(15000, 'z') + "\r\n",
    // A line longer than the relaxed work area: folded in pieces.
    [] {
        std::string s;
        while (s.size() < 2 * 1024 * 1024 + 7) s += "word \t  ";
        return s + "end\r\nnext\r\n";
    }(),
};

const std::vector<std::string> fields = {
    "Subject: Runs   of  spaces  \t inside and two at the end  "s,
    "Content-Type: text/plain;\r\n\tcharset=us-ascii"s,
    "Cc:"s,
    "Cc:    "s,
    "Cc: \t \r\n \t"s,
    "SUBJECT:no blank"s,
    "To: a@example.org,\r\n    b@example.org\r\n\t c@example.org"s,
    "X-Colons: a:b : c"s,
};

TEST(DkimCanon, BodiesMatchDkimpy) {
    if (!have_dkimpy()) GTEST_SKIP() << "python3-dkim is not installed on this machine";
    test::scratch_dir dir;
    auto ref = test::python_map(dir,
                                "    from dkim.canonicalization import Simple, Relaxed\n"
                                "    out(Simple.canonicalize_body(data))\n"
                                "    out(Relaxed.canonicalize_body(data))\n",
                                bodies);
    ASSERT_EQ(ref.size(), 2 * bodies.size());
    // Long lines are no fault: nothing is printed for them.
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < bodies.size(); ++i) {
        const std::string& b = bodies[i];
        EXPECT_EQ(test::to_hex(dkim_canon_body_text(b.data(), b.size(), false)),
                  test::to_hex(ref[2 * i]))
            << "simple, case " << i;
        EXPECT_EQ(test::to_hex(dkim_canon_body_text(b.data(), b.size(), true)),
                  test::to_hex(ref[2 * i + 1]))
            << "relaxed, case " << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DkimCanon, HeaderFieldsMatchDkimpy) {
    if (!have_dkimpy()) GTEST_SKIP() << "python3-dkim is not installed on this machine";
    test::scratch_dir dir;
    auto ref = test::python_map(dir,
                                "    import dkim\n"
                                "    from dkim.canonicalization import Simple, Relaxed\n"
                                "    h, _ = dkim.rfc822_parse(data + b'\\r\\n\\r\\n')\n"
                                "    for c in (Simple, Relaxed):\n"
                                "        out(b''.join(n + b':' + v for n, v in"
                                " c.canonicalize_headers(h)))\n",
                                fields);
    ASSERT_EQ(ref.size(), 2 * fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(fields[i] + "\r\n", ref[2 * i]) << i;
        EXPECT_EQ(relaxed_field(fields[i]), ref[2 * i + 1]) << i;
    }
}

TEST(DkimCanon, PartEdgeCases) {
    EXPECT_EQ(relaxed_field("Subject: a   b  "), "subject:a b\r\n");
    EXPECT_EQ(relaxed_field("Content-Type: text/plain;\r\n\tcharset=x"),
              "content-type:text/plain; charset=x\r\n");
    EXPECT_EQ(relaxed_field("Cc:   "), "cc:\r\n");
    EXPECT_EQ(dkim_canon_body_text("", 0, false), "\r\n");
    EXPECT_EQ(dkim_canon_body_text("", 0, true), "");
    EXPECT_EQ(dkim_canon_body_text("\r\n\r\n", 4, true), "");
    std::string b = "text \t\r\n\r\n\r\n";
    EXPECT_EQ(dkim_canon_body_text(b.data(), b.size(), true), "text\r\n");
    EXPECT_EQ(dkim_canon_body_text(b.data(), b.size(), false), "text \t\r\n");
    size_t len = 18;
    EXPECT_EQ(dkim_unfold_header("Subject: \t a\r\n\tb  ", &len), "Subject:a\tb  ");
    EXPECT_EQ(len, 13u);
}

struct ctx_guard {
    dkim_ctx ctx;
    ~ctx_guard() { dkim_ctx_cleanup(&ctx); }
};

std::vector<std::string> selected(const std::string& msg, int* result, std::string* error) {
    ctx_guard g;
    std::vector<std::string> names;
    if (!dkim_ctx_init(&g.ctx, msg.data(), msg.size())) return names;
    EVP_DigestInit_ex(g.ctx.header_md, EVP_sha256(), nullptr);
    char* err = nullptr;
    *result = dkim_hash_headers(&g.ctx, &err);
    if (err) *error = err;
    std::free(err);
    for (int i = 0; i < g.ctx.signed_count; ++i)
        names.emplace_back(g.ctx.signed_fields[i].line, g.ctx.signed_fields[i].name_len);
    return names;
}

// n From fields.
std::string from_fields(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "From: f" + std::to_string(i) + "\r\n";
    return out;
}

TEST(DkimCanon, SelectionOfSignedFields) {
    const std::string long_name = "X-" + std::string(1100, 'n');
    struct {
        std::string header;
        std::vector<std::string> names;
        std::string error;  // empty: the walk succeeds
    } cases[] = {
        {"From: a\r\nX-Custom: x\r\nto: b\r\nSubject: s\r\n\tmore\r\nTo: c\r\n",
         {"From", "to", "Subject", "To"},
         ""},
        // White space before the colon makes another name.
        {"Date: d\r\nFrom : spaced name\r\nMessage-ID: <m>\r\nFrom: a\r\n",
         {"Date", "Message-ID", "From"},
         ""},
        // A name of any length is read as a name.
        {long_name + ": v\r\nFrom: a\r\nTo: b\r\n", {"From", "To"}, ""},
        {long_name + "\r\nFrom: a\r\n", {}, "Malformed header (line 1 has no field name)"},
        // A block that cannot be read as fields selects nothing.
        {"From: a\r\nno colon here\r\nTo: b\r\n",
         {},
         "Malformed header (line 2 has no field name)"},
        {" folded: x\r\nFrom: a\r\n", {}, "Malformed header (line 1 continues no field)"},
        // Without From there is nothing worth signing.
        {"To: b\r\nSubject: s\r\n", {}, "Malformed header (no From field)"},
        {"", {}, "Malformed header (no From field)"},
        // More From fields than h= has room for: one would go unsigned.
        {from_fields(33), {}, "Malformed header (more than 32 From fields)"},
    };
    for (const auto& c : cases) {
        int result = -1;
        std::string error;
        EXPECT_EQ(selected(c.header + "\r\nbody\r\n", &result, &error), c.names)
            << c.header.substr(0, 40);
        EXPECT_EQ(result, c.error.empty() ? 1 : 0) << c.header.substr(0, 40);
        EXPECT_EQ(error, c.error);
    }
}

// n Cc fields, and the names they put into h=.
std::string cc_fields(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "Cc: c" + std::to_string(i) + "\r\n";
    return out;
}
std::vector<std::string> names_of(std::initializer_list<std::pair<const char*, int>> runs) {
    std::vector<std::string> out;
    for (const auto& [name, n] : runs) out.insert(out.end(), static_cast<size_t>(n), name);
    return out;
}

TEST(DkimCanon, AtMost32FieldsAndFromAlwaysAmongThem) {
    struct {
        std::string header;
        std::vector<std::string> names;
    } cases[] = {
        // From within the room: the first 32 fields, as they stand.
        {"FROM: f\r\n" + cc_fields(40), names_of({{"FROM", 1}, {"Cc", 31}})},
        {cc_fields(31) + "From: f\r\n" + cc_fields(5), names_of({{"Cc", 31}, {"From", 1}})},
        {cc_fields(30) + "From: f\r\n" + cc_fields(5),
         names_of({{"Cc", 30}, {"From", 1}, {"Cc", 1}})},
        // From beyond it takes the last place, in the order of the block.
        {cc_fields(40) + "From: f\r\nTo: t\r\n", names_of({{"Cc", 31}, {"From", 1}})},
        // Every From field has its place, the one readers show included.
        {cc_fields(20) + "Subject: s\r\n" + cc_fields(40) + "from: f\r\nFrom: g\r\n",
         names_of({{"Cc", 20}, {"Subject", 1}, {"Cc", 9}, {"from", 1}, {"From", 1}})},
        {"From: f\r\n" + cc_fields(40) + "From: g\r\n",
         names_of({{"From", 1}, {"Cc", 30}, {"From", 1}})},
        {from_fields(32) + cc_fields(3), names_of({{"From", 32}})},
    };
    for (const auto& c : cases) {
        int result = -1;
        std::string error;
        EXPECT_EQ(selected(c.header + "\r\nbody", &result, &error), c.names) << c.header;
        EXPECT_EQ(result, 1);
        EXPECT_EQ(error, "");
    }
}

TEST(DkimCanon, SplitAtTheFirstEmptyLineByLength) {
    ctx_guard g;
    const std::string msg = "A: b\r\n\r\nbody\0with nul\r\n\r\nmore"s;
    ASSERT_TRUE(dkim_ctx_init(&g.ctx, msg.data(), msg.size()));
    EXPECT_EQ(g.ctx.header_len, 6u);
    EXPECT_EQ(std::string(g.ctx.body, g.ctx.body_len), "body\0with nul\r\n\r\nmore"s);
    ctx_guard none;
    const std::string headers_only = "A: b\r\nC: d\r\n";
    EXPECT_EQ(dkim_ctx_init(&none.ctx, headers_only.data(), headers_only.size()), nullptr);
    ctx_guard nul_header;
    const std::string nul_first = "A: \0\r\n\r\nx"s;
    ASSERT_TRUE(dkim_ctx_init(&nul_header.ctx, nul_first.data(), nul_first.size()));
    EXPECT_EQ(nul_header.ctx.body_len, 1u);
}

}  // namespace
}  // namespace ostrel
