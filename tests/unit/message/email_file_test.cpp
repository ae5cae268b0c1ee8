#include "message/email_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dkim/dkim_keys_fixture.hpp"
#include "dkim/keys.hpp"
#include "message/compose_fixture.hpp"
#include "message/header_writer.hpp"
#include "message/scan.hpp"
#include "support/str.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

using compose_test::capture;

struct email_file_case : ::testing::Test {
    compose_test::scratch_dir dir;
    mail_handle h;

    void SetUp() override {
        h.mode = mail_mode_email_file;
        h.msg_time = 1796784479;
        h.from_addr = "me@example.org";
        h.to.push_back({"you@example.org", std::nullopt, 0});
        h.message_id = "<id.1@example.org>";
    }
    void use_file(const std::string& content) { h.email_file = dir.file("m.eml", content); }
    std::string send(int* result = nullptr, int* fault = nullptr) {
        return capture([&](msg_out_cb out, void* ctx) {
            int r = msg_write_email_file(&h, out, ctx, fault);
            if (result) *result = r;
        });
    }
};

// With the file's own header block kept, the output is exactly the file's
// lines, rewritten and dot-stuffed.
TEST_F(email_file_case, RawHeaderBlockRewrittenLineByLine) {
    struct row {
        const char* what;
        std::string file;
        std::vector<std::string> removed;
        std::vector<std::pair<std::string, std::string>> custom;
        std::string want;
    };
    const row rows[] = {
        {"a removed field goes with its continuation lines, case ignored",
         "A: 1\nx-trace: a\n b\n\tc\nX-Trace-Id2: k\nB: 2\n\nbody\n",
         {"X-Trace"},
         {},
         "A: 1\r\nX-Trace-Id2: k\r\nB: 2\r\n\r\nbody\r\n\r\n"},
        {"a longer removed name drops neither the shorter nor the longer field",
         "X-Trace: a\n b\nX-Trace-Id2: c\n\nx\n",
         {"X-Trace-Id"},
         {},
         "X-Trace: a\r\n b\r\nX-Trace-Id2: c\r\n\r\nx\r\n\r\n"},
        {"a line without a colon goes with its continuation lines",
         "A: 1\nnot a field\n folded\nB: 2\n\nx\n",
         {},
         {},
         "A: 1\r\nB: 2\r\n\r\nx\r\n\r\n"},
        {"custom fields at the empty line, in the order of adding",
         "A: 1\r\n\r\nbody\r\n",
         {},
         {{"X-One", "1"}, {"X-Two", "2"}},
         "A: 1\r\nX-One: 1\r\nX-Two: 2\r\n\r\nbody\r\n\r\n"},
        {"lines beginning with a dot are stuffed once, in the body and the header",
         ".Odd: h\n\n.\n..x\n.x\na.b\n",
         {},
         {},
         "..Odd: h\r\n\r\n..\r\n...x\r\n..x\r\na.b\r\n\r\n"},
        {"bare LF, bare CR and CR LF all end lines",
         "A: 1\rB: 2\n\r\nx\ry\n\nz\r\n",
         {},
         {},
         "A: 1\r\nB: 2\r\n\r\nx\r\ny\r\n\r\nz\r\n\r\n"},
        {"no empty line: no custom fields, the empty line after the last line",
         "A: 1\nB: 2",
         {},
         {{"X-C", "c"}},
         "A: 1\r\nB: 2\r\n\r\n"},
        {"an empty first line starts the body",
         "\nA: 1\n",
         {"A"},
         {{"X-C", "c"}},
         "X-C: c\r\n\r\nA: 1\r\n\r\n"},
        {"the Bcc field never goes, in any case and folded; a body line stays",
         "A: 1\nbcc: hidden@x.org,\n\tother@x.org\nBCC : y@x.org\nBccX: kept\n\nBcc: body\n",
         {},
         {},
         "A: 1\r\nBccX: kept\r\n\r\nBcc: body\r\n\r\n"},
        {"nor does a Resent-Bcc field; the other Resent- fields stay",
         "Resent-To: a@x.org\nresent-bcc: hidden@x.org,\n other@x.org\nRESENT-BCC :y@x.org\n"
         "Resent-BccX: kept\n\nResent-Bcc: body\n",
         {},
         {},
         "Resent-To: a@x.org\r\nResent-BccX: kept\r\n\r\nResent-Bcc: body\r\n\r\n"},
        {"a body without a line end at its end gets one",
         "A: 1\n\nlast",
         {},
         {},
         "A: 1\r\n\r\nlast\r\n\r\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        h.flags |= mail_f_raw_headers;
        h.removed_headers.clear();
        for (const auto& n : r.removed) h.removed_headers.push_back({n, ""});
        h.headers.clear();
        for (const auto& [n, v] : r.custom) h.headers.push_back({n, v});
        use_file(r.file);
        int result = -1;
        EXPECT_EQ(send(&result), r.want);
        EXPECT_EQ(result, 1);
    }
}

// The fields the header scanner reads as Bcc, whose addresses get a RCPT,
// are the ones the writer leaves out; every other field it reads goes out.
TEST_F(email_file_case, WhatIsReadAsBccIsWhatIsLeftOut) {
    h.flags |= mail_f_raw_headers;
    const std::string block =
        "Bcc:a@x.org\r\nBcc : b@x.org\r\nBCC\t \t:c@x.org\r\nbcc:\r\n d@x.org\r\n"
        "Bcc: G: e@x.org;\rBccX: kept\nX_Under: y\r\nX-A:z\r\nTo: t@x.org\r\n\r\n"
        "Bcc: body\r\n";
    use_file(block);
    const std::string wire = send();
    std::vector<std::pair<std::string, std::string>> fields;
    const char* stopped_at = nullptr;
    msg_scan_headers(
        &fields, block.c_str(),
        [](void* ctx, const char* n, uint32_t nl, const char* v, uint32_t vl) {
            static_cast<std::vector<std::pair<std::string, std::string>>*>(ctx)->emplace_back(
                std::string(n, nl), std::string(v, vl));
            return 1;
        },
        &stopped_at);
    ASSERT_EQ(stopped_at, nullptr);
    ASSERT_EQ(fields.size(), 9u);
    for (const auto& [name, value] : fields) {
        const bool blind = name.size() == 3 && str_ncasecmp(name.c_str(), "Bcc", 3) == 0;
        EXPECT_EQ(wire.find(value) == std::string::npos, blind) << name << ": " << value;
    }
    EXPECT_NE(wire.find("\r\n\r\nBcc: body\r\n"), std::string::npos) << wire;
}

// The handle's own setting does not matter: the text only goes to the wire.
TEST_F(email_file_case, StuffedWhateverTheHandleSays) {
    h.flags |= mail_f_raw_headers;
    use_file("A: 1\n\n.x\n");
    h.flags2 &= ~mail_f2_dotstuff;
    EXPECT_EQ(send(), "A: 1\r\n\r\n..x\r\n\r\n");
    h.flags2 |= mail_f2_dotstuff;
    EXPECT_EQ(send(), "A: 1\r\n\r\n..x\r\n\r\n");
}

// Configured fields come first and replace the file's fields of the same
// name; the rest of the file reads the same under Python's email package.
TEST_F(email_file_case, ConfiguredFieldsReplaceTheFilesOwn) {
    h.subject = "Configured";
    h.headers.push_back({"X-Custom", "yes"});
    h.removed_headers.push_back({"X-Drop", ""});
    use_file(
        "Subject: Old\n one more line\nDate: Mon, 1 Jan 2001 00:00:00 +0000\n"
        "x-drop: gone\n\tstill gone\nX-Keep: kept\n value\nMIME-Version: 1.0\n"
        "Content-Type: text/plain\n\n.dot\nline two\n");
    mail_handle copy = h;
    copy.removed_headers.clear();
    const std::string block =
        capture([&](msg_out_cb out, void* ctx) { msg_write_headers(&copy, out, ctx); });
    const std::string m = send();
    ASSERT_EQ(m.substr(0, block.size()), block);
    EXPECT_EQ(m.substr(block.size()),
              "X-Keep: kept\r\n value\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n"
              "X-Custom: yes\r\n\r\n..dot\r\nline two\r\n\r\n");

    test::scratch_dir py_dir;
    auto seen = test::python_map(
        py_dir,
        "    import email\n"
        "    from email import policy\n"
        "    m = email.message_from_bytes(data, policy=policy.default)\n"
        "    out(repr((m.get_all('Subject'), m['Date'], m['X-Keep'], m.get_all('X-Drop'),\n"
        "              m['X-Custom'], m.get_content())).encode())\n",
        {compose_test::unstuffed(m)});
    ASSERT_EQ(seen.size(), 1u) << "python3 did not run";
    EXPECT_EQ(seen[0],
              "(['Configured'], 'Wed, 09 Dec 2026 02:47:59 +0000', 'kept value', None, 'yes', "
              "'.dot\\r\\nline two\\r\\n\\r\\n')");
}

// With raw headers no configured field is written and none of the file's is
// replaced, but removals and custom fields still apply.
TEST_F(email_file_case, RawHeadersKeepTheFilesFields) {
    h.subject = "Configured";
    h.flags |= mail_f_raw_headers;
    h.removed_headers.push_back({"X-Drop", ""});
    h.headers.push_back({"X-Custom", "yes"});
    use_file("Subject: Own\nX-Drop: x\n\nbody\n");
    EXPECT_EQ(send(), "Subject: Own\r\nX-Custom: yes\r\n\r\nbody\r\n\r\n");
}

// A file that cannot go out whole is refused before a single byte is written,
// so that the caller can give up the message instead of sending part of it.
TEST_F(email_file_case, UnsendableFilesWriteNothing) {
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct row {
        const char* what;
        std::string path;
        int fault;
    };
    const row rows[] = {
        {"missing", dir.path("missing.eml"), msg_email_file_unreadable},
        {"a directory", dir.path(""), msg_email_file_unreadable},
        {"empty", dir.file("empty.eml", ""), msg_email_file_unreadable},
        {"a FIFO (no wait for a writer)", fifo, msg_email_file_unreadable},
        {"NUL in the body", dir.file("nul1.eml", std::string("A: 1\n\nab\0cd\n", 12)),
         msg_email_file_nul},
        {"NUL in the header", dir.file("nul2.eml", std::string("A: \0\n\nx\n", 8)),
         msg_email_file_nul},
        {"NUL as the last byte", dir.file("nul3.eml", std::string("A: 1\n\nx\n\0", 9)),
         msg_email_file_nul},
    };
    h.subject = "Configured";
    h.headers.push_back({"X-Custom", "yes"});
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        h.email_file = r.path;
        EXPECT_EQ(msg_check_email_file(&h), r.fault);
        int result = -1, fault = -1;
        EXPECT_EQ(send(&result, &fault), "");
        EXPECT_EQ(result, 0);
        EXPECT_EQ(fault, r.fault);
        EXPECT_STRNE(msg_email_file_fault_text(fault), "");
    }
    h.email_file.reset();
    EXPECT_EQ(msg_check_email_file(&h), msg_email_file_unreadable);
    use_file("A: 1\n\nx\n");
    EXPECT_EQ(msg_check_email_file(&h), msg_email_file_ok);
}

// A file cut short while it is being sent (a spool, an editor, log rotation)
// fails the message instead of ending the process: the sink cuts the file
// when the first bytes reach it, as a slow server leaves time to.
TEST_F(email_file_case, AFileCutWhileItIsSentFailsTheMessage) {
    std::string text = "Subject: Big\n\n";
    while (text.size() < (5u << 20)) text += std::string(76, 'x') + "\n";
    struct row {
        const char* what;
        off_t cut_to;
    } rows[] = {{"cut to nothing", 0}, {"cut to less than was read", 100}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        use_file(text);
        struct cutter {
            std::string path;
            off_t size;
            std::string got;
            bool cut = false;
            static void sink(void* ctx, const char* bytes, size_t len) {
                auto* c = static_cast<cutter*>(ctx);
                if (!c->cut) c->cut = ::truncate(c->path.c_str(), c->size) == 0;
                c->got.append(bytes, len);
            }
        } c{*h.email_file, r.cut_to, ""};
        int fault = -1;
        EXPECT_EQ(msg_write_email_file(&h, cutter::sink, &c, &fault), 0);
        EXPECT_TRUE(c.cut);
        EXPECT_EQ(fault, msg_email_file_changed);
        EXPECT_STREQ(msg_email_file_fault_text(fault), "Message file changed while it was read");
        // What went out is a part the caller drops; it never ends the message.
        EXPECT_LT(c.got.size(), text.size());
        EXPECT_NE(c.got.substr(c.got.size() - 4), "\r\n\r\n");
    }
}

// Verifies a message with dkimpy against the public half of pem; prints one
// line per signature, "True" or "False".
std::string dkimpy_verify(const compose_test::scratch_dir& dir, const std::string& message,
                          const std::string& pem) {
    test::write_file(dir.path("key.pem"), pem);
    test::write_file(dir.path("signed.eml"), message);
    const std::string pub = test::run_command("openssl pkey -pubout -in " + dir.path("key.pem"));
    test::write_file(dir.path("pub.pem"), pub);
    test::write_file(dir.path("verify.py"), R"(import sys, dkim
msg = open(sys.argv[1], "rb").read()
p = "".join(l for l in open(sys.argv[2]).read().splitlines() if not l.startswith("-----"))
dns = lambda name, timeout=5: ("v=DKIM1; k=rsa; p=" + p).encode()
d = dkim.DKIM(msg)
n = len([l for l in msg.split(b"\r\n\r\n")[0].split(b"\r\n") if l.lower().startswith(b"dkim-signature:")])
for i in range(n):
    print(d.verify(idx=i, dnsfunc=dns))
)");
    return test::run_command("/usr/bin/python3 " + dir.path("verify.py") + " " +
                             dir.path("signed.eml") + " " + dir.path("pub.pem"));
}

// The prepared file is signed as the receiver sees it, after the stuffing is
// removed; a key that cannot sign leaves nothing written.
TEST_F(email_file_case, SignedUnstuffedAndNothingWhenSigningFails) {
    dkim_domain* keys = nullptr;
    ASSERT_TRUE(dkim_keys_add(&keys, "example.org", "sel", test::rsa_key().c_str()));
    h.dkim_keys = keys;
    h.flags2 |= mail_f2_dkim;
    h.dkim_algos = 0;
    h.dkim_canon = 0;
    h.subject = "Signed";
    use_file(
        "Subject: Own\nTo: a@example.org\nBcc: hidden@example.org\n\n.hidden\n..two\nbody  \n");
    int result = -1, fault = -1;
    const std::string wire = send(&result, &fault);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(fault, msg_email_file_ok);
    // What is signed is what is sent: the Bcc field is in neither.
    EXPECT_EQ(wire.find("Bcc"), std::string::npos) << wire;
    EXPECT_EQ(wire.rfind("DKIM-Signature: v=1; a=rsa-sha256;", 0), 0u) << wire;
    EXPECT_NE(wire.find("\r\n\r\n..hidden\r\n...two\r\n"), std::string::npos) << wire;
    EXPECT_EQ(dkimpy_verify(dir, compose_test::unstuffed(wire), test::rsa_key()), "True\n");

    dkim_key_of(keys->keys)->pem[30] = '!';  // unreadable at signing time
    EXPECT_EQ(send(&result, &fault), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fault, msg_email_file_unsigned);
    EXPECT_STREQ(mail_last_error(&h), "DKIM signing failed (a=rsa-sha256; d=example.org; s=sel)");
    dkim_keys_free(&keys);
}

}  // namespace
}  // namespace ostrel
