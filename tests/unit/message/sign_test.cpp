#include "message/sign.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "dkim/dkim_keys_fixture.hpp"
#include "dkim/keys.hpp"
#include "message/compose.hpp"
#include "model/handle.hpp"

namespace ostrel {
namespace {

struct signing_handle {
    mail_handle* h = mail_create();
    dkim_domain* keys = nullptr;
    signing_handle() {
        h->flags2 |= mail_f2_dkim;
        h->from_addr = "someone@example.org";
    }
    ~signing_handle() {
        mail_destroy(h);
        dkim_keys_free(&keys);
    }
    void add(const char* domain, const char* selector, const std::string& pem) {
        ASSERT_TRUE(dkim_keys_add(&keys, domain, selector, pem.c_str()));
        h->dkim_keys = keys;
    }
};

// (algorithm, c= value) of each field, in order.
std::vector<std::string> kinds(const std::string& fields) {
    std::vector<std::string> out;
    std::regex first("DKIM-Signature: v=1; a=([a-z0-9-]+);( c=([a-z/]+);)? t=");
    for (auto it = std::sregex_iterator(fields.begin(), fields.end(), first);
         it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1].str() + " " + ((*it)[3].matched ? (*it)[3].str() : "simple"));
    return out;
}

const std::string text = "From: someone@example.org\r\nSubject: s\r\n\r\nbody\r\n";

TEST(MsgDkimSign, DefaultsAreWrittenBackAndOrderFollowsTheMasks) {
    signing_handle s;
    s.add("example.org", "rsa", test::rsa_key());
    s.add("example.org", "ed", test::ed_key());
    std::string fields, error;
    ASSERT_EQ(msg_dkim_sign(s.h, msg_dkim_record(s.h), text.data(), text.size(), &fields, &error),
              1);
    EXPECT_EQ(s.h->dkim_algos, mail_dkim_best);
    EXPECT_EQ(s.h->dkim_canon, mail_canon_simple_simple);
    EXPECT_EQ(kinds(fields),
              (std::vector<std::string>{"rsa-sha256 simple", "ed25519-sha256 simple"}));

    s.h->dkim_algos = mail_dkim_all;
    s.h->dkim_canon = mail_canon_relaxed_simple | mail_canon_simple_relaxed;
    fields.clear();
    ASSERT_EQ(msg_dkim_sign(s.h, msg_dkim_record(s.h), text.data(), text.size(), &fields, &error),
              1);
    EXPECT_EQ(kinds(fields),
              (std::vector<std::string>{"rsa-sha1 simple/relaxed", "rsa-sha256 simple/relaxed",
                                        "ed25519-sha256 simple/relaxed", "rsa-sha1 relaxed",
                                        "rsa-sha256 relaxed", "ed25519-sha256 relaxed"}));
}

TEST(MsgDkimSign, RecordLookup) {
    signing_handle s;
    s.add("example.org", "a", test::ed_key());
    s.add("default.example", "b", test::ed_key());
    s.add("xn--bcher-kva.example", "c", test::ed_key());
    auto domain = [&] {
        const dkim_domain* d = msg_dkim_record(s.h);
        return std::string(d ? d->domain : "(none)");
    };
    EXPECT_EQ(domain(), "example.org");
    s.h->dkim_default = "Default.Example";
    s.h->from_addr = "someone@other.example";
    EXPECT_EQ(domain(), "default.example");
    s.h->from_addr =
        "someone@b\xC3\xBC"
        "cher.example";
    EXPECT_EQ(domain(), "xn--bcher-kva.example");
    s.h->flags2 &= ~mail_f2_dkim;
    EXPECT_EQ(domain(), "(none)");
}

TEST(MsgDkimSign, AFailedSignatureWritesNothing) {
    signing_handle s;
    s.add("example.org", "bad", test::rsa_key());
    dkim_key* k = dkim_key_of(s.keys->keys);
    k->pem[30] = '!';  // unreadable at signing time
    mime_input_status status;
    str_buf sink;
    s.h->body = "hello";
    EXPECT_EQ(mime_compose_ex(s.h, fmt_sink_str_buf, &sink, &status), 0);
    EXPECT_EQ(sink.length, 0u);
    str_buf_release(&sink);
    EXPECT_EQ(status.signing_failed, "DKIM signing failed (a=rsa-sha256; d=example.org; s=bad)");
    EXPECT_STREQ(mail_last_error(s.h), status.signing_failed.c_str());
}

// A key record that applies signs the message or nothing is sent: no key of
// any algorithm asked for, or a text whose header block has no end, is a
// failure with its reason, while an algorithm without a key is passed over
// when another signs.
TEST(MsgDkimSign, NoSignatureAtAllIsAFailure) {
    const std::string no_end = "From: someone@example.org\r\nSubject: s\r\n";
    struct row {
        const char* what;
        bool rsa, ed;
        uint16_t algos;
        const std::string& message;
        std::vector<std::string> kinds;  // the fields made, when it signs
        std::string error;
    } rows[] = {
        {"only an RSA key, Ed25519 asked",
         true,
         false,
         mail_dkim_ed25519_sha256,
         text,
         {},
         "DKIM signing failed (d=example.org): no key for ed25519-sha256"},
        {"only an Ed25519 key, RSA asked",
         false,
         true,
         mail_dkim_rsa_sha1 | mail_dkim_rsa_sha256,
         text,
         {},
         "DKIM signing failed (d=example.org): no key for rsa-sha1 or rsa-sha256"},
        {"only an Ed25519 key, all asked",
         false,
         true,
         mail_dkim_all,
         text,
         {"ed25519-sha256 simple"},
         ""},
        {"no end of the header block",
         true,
         true,
         mail_dkim_best,
         no_end,
         {},
         "DKIM signing failed (d=example.org): no empty line ends the header"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        signing_handle s;
        if (r.rsa) s.add("example.org", "rsa", test::rsa_key());
        if (r.ed) s.add("example.org", "ed", test::ed_key());
        s.h->dkim_algos = r.algos;
        std::string fields, error;
        const int signed_ok = msg_dkim_sign(s.h, msg_dkim_record(s.h), r.message.data(),
                                            r.message.size(), &fields, &error);
        EXPECT_EQ(signed_ok, r.error.empty() ? 1 : 0);
        EXPECT_EQ(kinds(fields), r.kinds);
        EXPECT_EQ(error, r.error);
    }
}

}  // namespace
}  // namespace ostrel
