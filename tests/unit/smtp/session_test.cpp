// The opening's pieces and the authentication stage against scripted replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/handle.hpp"
#include "smtp/smtp.hpp"
#include "smtp_fixture.hpp"
#include "support/encode.hpp"

namespace ostrel {
namespace {

using test::event_record;
using test::smtp_fixture;

constexpr uint32_t all_mechs =
    mail_f_cram_md5 | mail_f_login | mail_f_plain | mail_f_oauthbearer | mail_f_xoauth2;

struct scan_case {
    const char* line;
    bool user;
    uint32_t disabled;
    uint32_t flags;   // capability bits set
    uint32_t flags2;  // flags2 bits set
    bool starttls;
};

TEST(SmtpEhloScan, Table) {
    const scan_case cases[] = {
        {"250-auth plain login", true, 0, mail_f_plain | mail_f_login, 0, false},
        {"250-auth plain login", false, 0, 0, 0, false},
        {"250-AUTH=PLAIN", true, 0, 0, 0, false},
        {"250-AUTH PLAIN LOGIN CRAM-MD5 OAUTHBEARER XOAUTH2", true, 0, all_mechs, 0, false},
        {"250-AUTH PLAIN LOGIN CRAM-MD5", true, mail_f_no_plain | mail_f_no_cram_md5, mail_f_login,
         0, false},
        {"250-AUTH  PLAINX  XPLAIN  cram-md5 ", true, 0, mail_f_cram_md5, 0, false},
        {"250-DSN", false, 0, mail_f_dsn, 0, false},
        {"250 dsn", false, 0, mail_f_dsn, 0, false},
        {"250-DSN x", false, 0, 0, 0, false},
        {"250-SMTPUTF8", false, 0, 0, mail_f2_smtputf8, false},
        {"250-STARTTLS", true, 0, 0, 0, true},
        {"250-STARTTLSX", true, 0, 0, 0, false},
        {"250-AUTH", true, 0, 0, 0, false},
        {"250", true, 0, 0, 0, false},
        {"", true, 0, 0, 0, false},
    };
    for (const scan_case& c : cases) {
        SCOPED_TRACE(c.line);
        mail_handle h;
        if (c.user) h.user = "me";
        h.flags = c.disabled;
        bool starttls = false;
        smtp_ehlo_scan_line(&h, c.line, &starttls);
        EXPECT_EQ(h.flags & ~c.disabled, c.flags);
        EXPECT_EQ(h.flags2, c.flags2);
        EXPECT_EQ(starttls, c.starttls);
    }
}

TEST(SmtpAddressLiteral, Forms) {
    EXPECT_EQ(smtp_address_literal("192.0.2.7"), "[192.0.2.7]");
    EXPECT_EQ(smtp_address_literal("0:0:0:0:0:0:0:1"), "[IPv6:0:0:0:0:0:0:0:1]");
    EXPECT_EQ(smtp_address_literal(nullptr), "[]");
}

TEST(SmtpHello, EhloScansEveryLineAndHeloReadsItsReplyWhole) {
    {
        smtp_fixture f("250-mx\r\n250-DSN\r\n250-STARTTLS\r\n250 SMTPUTF8\r\n");
        f.h.helo = "client.example";
        f.h.flags |= mail_f_starttls_wanted;
        char* line = nullptr;
        EXPECT_EQ(smtp_hello(&f.h, 1, &line), 250);
        EXPECT_STREQ(line, "250 SMTPUTF8");
        EXPECT_EQ(f.sent(), "ehlo client.example\r\n");
        EXPECT_TRUE(f.h.flags & mail_f_dsn);
        EXPECT_TRUE(f.h.flags & mail_f_esmtp);
        EXPECT_TRUE(f.h.flags & mail_f_starttls);
        EXPECT_TRUE(f.h.flags2 & mail_f2_smtputf8);
    }
    {
        // The rest of a multi-line HELO reply must not answer the next command.
        smtp_fixture f("250-mx greets you\r\n250 second line\r\n550 next\r\n");
        f.h.helo = "client.example";
        char* line = nullptr;
        EXPECT_EQ(smtp_hello(&f.h, 0, &line), 250);
        EXPECT_STREQ(line, "250 second line");
        EXPECT_FALSE(f.h.flags & mail_f_esmtp);
        EXPECT_EQ(smtp_read_reply(&f.h, 550, 1, nullptr, 2), 550);
    }
    {
        smtp_fixture f("250-mx\r\n", true);
        f.h.helo = "client.example";
        char* line = reinterpret_cast<char*>(1);
        EXPECT_EQ(smtp_hello(&f.h, 1, &line), 0);
        EXPECT_EQ(line, nullptr);
        EXPECT_EQ(f.h.conn, nullptr);
        EXPECT_EQ(f.events, (std::vector<event_record>{{11, 4, "Disconnected"}}));
    }
    {
        // A server that falls silent is named so, not taken for one that left.
        smtp_fixture f("250-mx\r\n", false, 1);
        f.h.helo = "client.example";
        EXPECT_EQ(smtp_hello(&f.h, 1, nullptr), 0);
        EXPECT_EQ(f.h.conn, nullptr);
        EXPECT_EQ(f.events, (std::vector<event_record>{{11, 4, "Timed out"}}));
        EXPECT_EQ(f.h.last_error, std::string("Timed out"));
    }
}

struct auto_case {
    const char* reply;
    bool oauth;
    bool user;
    const char* trace;  // nullptr: no STARTTLS
};

TEST(SmtpHello, AutomaticStarttls) {
    const auto_case cases[] = {
        {"250-mx\r\n250-STARTTLS\r\n250 AUTH CRAM-MD5\r\n", false, true, nullptr},
        {"250-mx\r\n250 STARTTLS\r\n", false, true,
         "No authentication available, trying STARTTLS.\n"},
        {"250-mx\r\n250 STARTTLS\r\n", false, false, nullptr},
        {"250-mx\r\n250-STARTTLS\r\n250 AUTH XOAUTH2 PLAIN\r\n", true, true,
         "No OAuth authentication available, trying STARTTLS.\n"},
        {"250-mx\r\n250-STARTTLS\r\n250 AUTH OAUTHBEARER\r\n", true, true,
         "No authentication available, trying STARTTLS.\n"},
        {"250-mx\r\n250 AUTH LOGIN\r\n", false, true, nullptr},
    };
    for (const auto_case& c : cases) {
        SCOPED_TRACE(c.reply);
        smtp_fixture f(c.reply);
        f.h.helo = "c";
        if (c.user) f.h.user = "me";
        if (c.oauth) f.h.flags |= mail_f_oauth;
        static std::vector<std::string> traces;
        traces.clear();
        f.h.trace_cb = [](void*, int dir, const char* text) {
            if (dir == -1) traces.emplace_back(text);
            return 0;
        };
        EXPECT_EQ(smtp_hello(&f.h, 1, nullptr), 250);
        EXPECT_EQ((f.h.flags & mail_f_starttls) != 0, c.trace != nullptr);
        if (c.trace)
            EXPECT_EQ(traces, std::vector<std::string>{c.trace});
        else
            EXPECT_TRUE(traces.empty());
    }
}

struct choice_case {
    uint32_t flags;
    int mech;
};

TEST(SmtpAuthChoose, Table) {
    const choice_case cases[] = {
        {all_mechs, smtp_mech_cram_md5},
        {mail_f_plain | mail_f_login, smtp_mech_plain},
        {mail_f_login, smtp_mech_login},
        {mail_f_oauthbearer | mail_f_xoauth2, smtp_mech_none},
        {all_mechs | mail_f_oauth, smtp_mech_oauthbearer},
        {mail_f_xoauth2 | mail_f_plain | mail_f_oauth, smtp_mech_xoauth2},
        {mail_f_plain | mail_f_cram_md5 | mail_f_oauth, smtp_mech_none},
        {0, smtp_mech_none},
    };
    for (const choice_case& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(smtp_auth_choose(c.flags), c.mech);
    }
}

TEST(SmtpCramMd5, Rfc2195Example) {
    EXPECT_EQ(smtp_cram_md5_response("tim", "tanstaaftanstaaf",
                                     "<1896.697170952@postoffice.reston.mci.net>"),
              "tim b913a602c7eda7a495b4e6e7334d3890");
}

std::string b64(const std::string& s) {
    std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<size_t>(b64_encode(s.data(), static_cast<int>(s.size()), out.data())));
    return out;
}

struct auth_case {
    const char* name;
    uint32_t flags;
    std::string server;
    std::string sent;
    std::vector<event_record> events;
    bool authenticated;
    const char* kept;  // nullptr: untouched
};

TEST(SmtpAuthenticate, Exchanges) {
    const std::string user = "user@example.org";
    const std::string pass = "s3cret pass";
    const std::string plain = b64(std::string("\0", 1) + user + std::string("\0", 1) + pass);
    const std::string bearer = b64("n,a=" + user + ",\x01" + "auth=Bearer " + pass + "\x01\x01");
    const std::string xoauth = b64("user=" + user + "\x01" + "auth=Bearer " + pass + "\x01\x01");
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    const std::string cram = b64(smtp_cram_md5_response(user, pass, challenge));
    const auth_case cases[] = {
        {"plain",
         mail_f_plain,
         "235 ok\r\n",
         "auth PLAIN " + plain + "\r\n",
         {{4, 1, "(null)"}},
         true,
         nullptr},
        {"plain refused",
         mail_f_plain | mail_f_login,
         "535 5.7.8 bad\r\n",
         "auth PLAIN " + plain + "\r\n",
         {{4, 2, "AUTH PLAIN failed (535 5.7.8 bad)"}},
         false,
         "535 5.7.8 bad"},
        {"login",
         mail_f_login,
         "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 ok\r\n",
         "auth LOGIN\r\n" + b64(user) + "\r\n" + b64(pass) + "\r\n",
         {{4, 1, "(null)"}},
         true,
         nullptr},
        {"login refused at the user",
         mail_f_login,
         "334 x\r\n501 no\r\n",
         "auth LOGIN\r\n" + b64(user) + "\r\n",
         {{4, 2, "AUTH LOGIN failed (501 no)"}},
         false,
         "501 no"},
        {"cram-md5",
         mail_f_cram_md5 | mail_f_plain,
         "334 " + b64(challenge) + "\r\n235 ok\r\n",
         "auth CRAM-MD5\r\n" + cram + "\r\n",
         {{4, 1, "(null)"}},
         true,
         nullptr},
        {"cram-md5 334 without text",
         mail_f_cram_md5,
         "334\r\n",
         "auth CRAM-MD5\r\n",
         {{4, 2, "AUTH CRAM-MD5 failed (334)"}},
         false,
         nullptr},
        {"oauthbearer",
         mail_f_oauth | mail_f_oauthbearer | mail_f_xoauth2,
         "235 ok\r\n",
         "auth OAUTHBEARER " + bearer + "\r\n",
         {{4, 1, "(null)"}},
         true,
         nullptr},
        {"xoauth2 with its error challenge",
         mail_f_oauth | mail_f_xoauth2,
         "334 eyJzdGF0dXMiOiI0MDEifQ==\r\n535 5.7.8 denied\r\n",
         "auth XOAUTH2 " + xoauth + "\r\nAQ==\r\n",
         {{4, 2, "AUTH XOAUTH2 failed (535 5.7.8 denied)"}},
         false,
         "535 5.7.8 denied"},
        {"token without an OAuth mechanism",
         mail_f_oauth | mail_f_plain,
         "",
         "",
         {{4, 2, "AUTH OAUTHBEARER/XOAUTH2 unavailable"}},
         false,
         nullptr},
        {"password without a mechanism",
         mail_f_oauthbearer,
         "",
         "",
         {{4, 2, "Server did not offer a supported authentication mechanism"}},
         false,
         nullptr},
        {"lost in the exchange",
         mail_f_plain,
         "",
         "auth PLAIN " + plain + "\r\n",
         {{4, 2, "AUTH PLAIN failed (Disconnected)"}},
         false,
         nullptr},
    };
    for (const auth_case& c : cases) {
        SCOPED_TRACE(c.name);
        smtp_fixture f(c.server, true);
        f.h.user = user;
        f.h.password = pass;
        f.h.flags |= c.flags;
        EXPECT_EQ(smtp_authenticate(&f.h), 1);
        EXPECT_EQ(f.sent(), c.sent);
        EXPECT_EQ(f.events, c.events);
        EXPECT_EQ((f.h.flags & mail_f_authenticated) != 0, c.authenticated);
        if (c.kept)
            EXPECT_EQ(f.h.kept_reply, std::string(c.kept));
        else
            EXPECT_FALSE(f.h.kept_reply);
    }
}

// A connection lost in the exchange is named in the failure, and the loss,
// not a refusal, stays the reason; a refusal keeps its own text.
TEST(SmtpAuthenticate, LostConnectionIsNamed) {
    struct {
        const char* name;
        uint32_t mech;
        const char* server;
        bool close;
        const char* event;
        const char* error;
    } cases[] = {
        {"closed after AUTH PLAIN", mail_f_plain, "", true, "AUTH PLAIN failed (Disconnected)",
         "Disconnected"},
        {"silent after AUTH PLAIN", mail_f_plain, "", false, "AUTH PLAIN failed (Timed out)",
         "Timed out"},
        {"silent after the user of AUTH LOGIN", mail_f_login, "334 VXNlcm5hbWU6\r\n", false,
         "AUTH LOGIN failed (Timed out)", "Timed out"},
        {"closed in the CRAM-MD5 exchange", mail_f_cram_md5, "334 PDE+\r\n", true,
         "AUTH CRAM-MD5 failed (Disconnected)", "Disconnected"},
        {"refused", mail_f_plain, "535 5.7.8 bad\r\n", true, "AUTH PLAIN failed (535 5.7.8 bad)",
         "AUTH PLAIN failed (535 5.7.8 bad)"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        smtp_fixture f(k.server, k.close, 1);
        f.h.user = "u";
        f.h.password = "p";
        f.h.flags |= k.mech;
        f.verdicts[{4, 2}] = 4;  // as the front end answers
        EXPECT_EQ(smtp_authenticate(&f.h), 0);
        EXPECT_EQ(f.h.conn, nullptr);
        EXPECT_EQ(f.events, (std::vector<event_record>{{4, 2, k.event}, {11, 1, k.error}}));
        EXPECT_EQ(f.h.last_error, std::string(k.error));
    }
}

TEST(SmtpAuthenticate, VerdictFourEndsTheOpening) {
    smtp_fixture f("535 no\r\n221 bye\r\n", true);
    f.h.user = "u";
    f.h.password = "p";
    f.h.flags |= mail_f_plain;
    f.verdicts[{4, 2}] = 4;
    EXPECT_EQ(smtp_authenticate(&f.h), 0);
    EXPECT_EQ(f.h.conn, nullptr);
    EXPECT_EQ(f.events, (std::vector<event_record>{{4, 2, "AUTH PLAIN failed (535 no)"},
                                                   {11, 1, "AUTH PLAIN failed (535 no)"}}));
}

// Credentials far beyond any fixed buffer go out whole, and a challenge of
// tens of kilobytes is taken.
TEST(SmtpAuthenticate, LongCredentialsAndChallenge) {
    const std::string user(3000, 'u');
    const std::string pass(5000, 'p');
    const std::string challenge(40000, 'c');
    smtp_fixture f("334 " + b64(challenge) + "\r\n235 ok\r\n", true);
    f.h.user = user;
    f.h.password = pass;
    f.h.flags |= mail_f_cram_md5;
    EXPECT_EQ(smtp_authenticate(&f.h), 1);
    EXPECT_EQ(f.sent(),
              "auth CRAM-MD5\r\n" + b64(smtp_cram_md5_response(user, pass, challenge)) + "\r\n");
    EXPECT_TRUE(f.h.flags & mail_f_authenticated);
}

TEST(SmtpAuthenticate, TraceMasksSecretsButNotTheWire) {
    smtp_fixture f("334 a\r\n334 b\r\n235 ok\r\n", true);
    f.h.user = "someone";
    f.h.password = "hunter2hunter2";
    f.h.flags |= mail_f_login;
    static std::string trace;
    trace.clear();
    f.h.conn->trace_fn = [](void*, int, const char* text) {
        trace += text;
        return 0;
    };
    f.h.conn->flags |= ip_f_trace;
    EXPECT_EQ(smtp_authenticate(&f.h), 1);
    const std::string secret = b64("hunter2hunter2");
    EXPECT_NE(f.sent().find(secret), std::string::npos);
    EXPECT_EQ(trace.find(secret), std::string::npos);
    EXPECT_EQ(trace.find("hunter2"), std::string::npos);
    EXPECT_NE(trace.find(std::string(secret.size(), '*') + "\r\n"), std::string::npos);
    EXPECT_NE(trace.find(b64("someone")), std::string::npos);
}

}  // namespace
}  // namespace ostrel
