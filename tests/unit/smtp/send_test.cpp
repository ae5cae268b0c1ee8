// The mail transaction against scripted replies, and its parameter texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "message/address.hpp"
#include "message/attach_list.hpp"
#include "model/handle.hpp"
#include "smtp/smtp.hpp"
#include "smtp_fixture.hpp"

namespace ostrel {
namespace {

using test::event_record;
using test::smtp_fixture;

TEST(SmtpXtext, Table) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc-123_XYZ", "abc-123_XYZ"},
        {"a+b", "a+2Bb"},
        {"a=b", "a+3Db"},
        {"a b", "a+20b"},
        {"id\r\nrset", "id+0D+0Arset"},
        {"\xC3\xA9", "+C3+A9"},
        {"!~", "!~"},
        {"\x7F", "+7F"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(smtp_xtext(in), out) << in;
    // The longest ENVID the option takes fits its tripled form.
    EXPECT_EQ(smtp_xtext(std::string(100, ' ')).size(), 300u);
}

struct dsn_case {
    const char* name;
    bool offered;
    const char* defaults;  // letters
    const char* to_flags;  // a To recipient's letters
    std::string mail_param;
    std::string rcpt_to;  // the RCPT TO line's parameter for the To recipient
    std::string rcpt_cc;  // for the Cc recipient without flags of its own
};

TEST(SmtpDsn, ParametersByServerAndFlags) {
    const dsn_case cases[] = {
        {"no DSN at the server", false, "SF", "D", "", "", ""},
        {"defaults", true, "SF", "", " RET=HDRS ENVID=id+2B1", " NOTIFY=SUCCESS,FAILURE",
         " NOTIFY=SUCCESS,FAILURE"},
        {"one recipient's own flags", true, "", "D", " RET=HDRS ENVID=id+2B1", " NOTIFY=DELAY", ""},
        {"NEVER alone", true, "", "NSF", " RET=HDRS ENVID=id+2B1", " NOTIFY=NEVER", ""},
        {"nothing asked", true, "", "", "", "", ""},
    };
    for (const dsn_case& c : cases) {
        SCOPED_TRACE(c.name);
        smtp_fixture f("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n", true);
        mail_handle& h = f.h;
        if (c.offered) h.flags |= mail_f_dsn;
        h.flags |= (addr_dsn_parse(c.defaults) << mail_f_dsn_shift) & mail_f_dsn_mask;
        h.dsn_envid = "id+1";
        h.from_addr = "me@example.org";
        addr_list_add(&h.to, "to@example.org", nullptr, c.to_flags);
        addr_list_add(&h.cc, "cc@example.org", nullptr, nullptr);
        EXPECT_EQ(smtp_send_message(&h), 1);
        const std::string sent = f.sent();
        EXPECT_EQ(sent.rfind("mail from:<me@example.org>" + c.mail_param + "\r\n", 0), 0u) << sent;
        EXPECT_NE(sent.find("rcpt to:<to@example.org>" + c.rcpt_to + "\r\n"), std::string::npos)
            << sent;
        EXPECT_NE(sent.find("rcpt to:<cc@example.org>" + c.rcpt_cc + "\r\n"), std::string::npos)
            << sent;
    }
}

TEST(SmtpDsn, FreshEnvelopeIdWithoutOne) {
    mail_handle h;
    h.flags |= mail_f_dsn | (2u << mail_f_dsn_shift);
    EXPECT_TRUE(smtp_dsn_asked(&h));
    EXPECT_EQ(smtp_mail_dsn_param(&h, "abc"), " RET=HDRS ENVID=abc");
    h.flags &= ~mail_f_dsn;
    EXPECT_FALSE(smtp_dsn_asked(&h));
}

struct utf8_case {
    const char* name;
    bool announced;
    const char* from;
    const char* to;
    const char* reply_to;
    bool callback;
    bool wanted;
};

TEST(SmtpSmtputf8, Decision) {
    const utf8_case cases[] = {
        {"ascii mail", true, "me@example.org", "you@example.org", nullptr, false, false},
        {"utf-8 local part", true, "me@example.org", "j\xC3\xB6rg@example.org", nullptr, false,
         true},
        {"utf-8 domain of the sender", true,
         "me@b\xC3\xBC"
         "cher.example",
         "you@example.org", nullptr, false, true},
        {"utf-8 in the header only", true, "me@example.org", "you@example.org",
         "r\xC3\xA9@example.org", false, true},
        {"not announced", false, "m\xC3\xA9@example.org", "you@example.org", nullptr, false, false},
        {"recipient callback", true, "me@example.org", "you@example.org", nullptr, true, true},
    };
    for (const utf8_case& c : cases) {
        SCOPED_TRACE(c.name);
        mail_handle h;
        if (c.announced) h.flags2 |= mail_f2_smtputf8;
        h.from_addr = c.from;
        if (c.reply_to) h.reply_to_addr = c.reply_to;
        addr_list_add(&h.to, c.to, nullptr, nullptr);
        if (c.callback) h.recipient_cb = [](void*, int, char**, char**, char**) { return 0; };
        EXPECT_EQ(smtp_wants_smtputf8(&h), c.wanted);
    }
}

// A handle with a small message, To X then Y, Cc C and Bcc B.
void fill(mail_handle& h) {
    h.from_addr = "me@example.org";
    h.subject = "Hello";
    h.body = "line\r\n.\r\n..x\r\n";
    addr_list_add(&h.to, "x@example.org", nullptr, nullptr);
    addr_list_add(&h.to, "y@example.org", nullptr, nullptr);
    addr_list_add(&h.cc, "c@example.org", nullptr, nullptr);
    addr_list_add(&h.bcc, "b@example.org", nullptr, nullptr);
    h.flags2 |= mail_f2_dotstuff;
}

std::vector<std::string> commands(const std::string& sent) {
    std::vector<std::string> out;
    bool in_data = false;
    size_t pos = 0;
    while (pos < sent.size()) {
        size_t end = sent.find("\r\n", pos);
        if (end == std::string::npos) end = sent.size();
        std::string line = sent.substr(pos, end - pos);
        pos = end + 2;
        if (in_data) {
            if (line == ".") {
                in_data = false;
                out.push_back(".");
            }
            continue;
        }
        out.push_back(line);
        // A message follows DATA only when a final dot ends it.
        if (line == "data" && sent.find("\r\n.\r\n", pos - 2) != std::string::npos) in_data = true;
    }
    return out;
}

TEST(SmtpSendMessage, RecipientsInOrderWithMixedReplies) {
    smtp_fixture f(
        "250 ok\r\n251 will forward\r\n550 5.1.1 no such user\r\n250-a\r\n250 b\r\n"
        "452 full\r\n354 go\r\n250 2.0.0 queued\r\n");
    fill(f.h);
    EXPECT_EQ(smtp_send_message(&f.h), 1);
    const std::string sent = f.sent();
    EXPECT_EQ(commands(sent),
              (std::vector<std::string>{"mail from:<me@example.org>", "rcpt to:<y@example.org>",
                                        "rcpt to:<x@example.org>", "rcpt to:<c@example.org>",
                                        "rcpt to:<b@example.org>", "data", "."}));
    // Stuffed once on the wire; the dot right after the message's last CRLF.
    EXPECT_NE(sent.find("\r\nline\r\n..\r\n...x\r\n"), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 5), "\r\n.\r\n");
    EXPECT_EQ(sent.find("Bcc"), std::string::npos);
    EXPECT_EQ(f.events, (std::vector<event_record>{{6, 1, "(null)"},
                                                   {7, 1, "y@example.org"},
                                                   {7, 2, "x@example.org"},
                                                   {7, 1, "c@example.org"},
                                                   {7, 2, "b@example.org"},
                                                   {10, 1, "452 full"}}));
    EXPECT_EQ(f.h.kept_reply, std::string("250 2.0.0 queued"));
    EXPECT_TRUE(f.connected());
}

struct failure_case {
    const char* name;
    std::string server;
    std::vector<std::string> commands;
    std::vector<event_record> events;
    const char* kept;
    const char* error;
    bool conn_left;
};

TEST(SmtpSendMessage, Failures) {
    const failure_case cases[] = {
        {"MAIL refused",
         "550 5.7.1 sender refused\r\n221 bye\r\n",
         {"mail from:<me@example.org>", "quit"},
         {{6, 4, "550 5.7.1 sender refused"}},
         "550 5.7.1 sender refused",
         "550 5.7.1 sender refused",
         false},
        {"no recipient accepted",
         "250 ok\r\n550 a\r\n550 b\r\n550 c\r\n550 d\r\n250 reset\r\n",
         {"mail from:<me@example.org>", "rcpt to:<y@example.org>", "rcpt to:<x@example.org>",
          "rcpt to:<c@example.org>", "rcpt to:<b@example.org>", "rset"},
         {{6, 1, "(null)"},
          {7, 2, "y@example.org"},
          {7, 2, "x@example.org"},
          {7, 2, "c@example.org"},
          {7, 2, "b@example.org"},
          {8, 2, "No recipients accepted"}},
         nullptr,
         "No recipients accepted",
         true},
        {"DATA refused",
         "250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n554 no data\r\n250 reset\r\n",
         {"mail from:<me@example.org>", "rcpt to:<y@example.org>", "rcpt to:<x@example.org>",
          "rcpt to:<c@example.org>", "rcpt to:<b@example.org>", "data", "rset"},
         {{6, 1, "(null)"},
          {7, 1, "y@example.org"},
          {7, 1, "x@example.org"},
          {7, 1, "c@example.org"},
          {7, 1, "b@example.org"},
          {10, 2, "554 no data"}},
         "554 no data",
         "554 no data",
         true},
        {"final dot refused",
         "250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n450 try later\r\n250 r\r\n",
         {"mail from:<me@example.org>", "rcpt to:<y@example.org>", "rcpt to:<x@example.org>",
          "rcpt to:<c@example.org>", "rcpt to:<b@example.org>", "data", ".", "rset"},
         {{6, 1, "(null)"},
          {7, 1, "y@example.org"},
          {7, 1, "x@example.org"},
          {7, 1, "c@example.org"},
          {7, 1, "b@example.org"},
          {10, 2, "450 try later"}},
         "450 try later",
         "450 try later",
         true},
        {"lost at the final dot",
         "250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n",
         {"mail from:<me@example.org>", "rcpt to:<y@example.org>", "rcpt to:<x@example.org>",
          "rcpt to:<c@example.org>", "rcpt to:<b@example.org>", "data", "."},
         {{6, 1, "(null)"},
          {7, 1, "y@example.org"},
          {7, 1, "x@example.org"},
          {7, 1, "c@example.org"},
          {7, 1, "b@example.org"},
          {11, 4, "Disconnected"}},
         nullptr,
         "Disconnected",
         false},
        {"lost at a recipient",
         "250 ok\r\n250 ok\r\n",
         {"mail from:<me@example.org>", "rcpt to:<y@example.org>", "rcpt to:<x@example.org>"},
         {{6, 1, "(null)"}, {7, 1, "y@example.org"}, {11, 4, "Disconnected"}},
         nullptr,
         "Disconnected",
         false},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        smtp_fixture f(c.server, true);
        fill(f.h);
        EXPECT_EQ(smtp_send_message(&f.h), 0);
        EXPECT_EQ(commands(f.sent()), c.commands);
        EXPECT_EQ(f.events, c.events);
        if (c.kept)
            EXPECT_EQ(f.h.kept_reply, std::string(c.kept));
        else
            EXPECT_FALSE(f.h.kept_reply);
        EXPECT_EQ(f.h.last_error, std::string(c.error));
        EXPECT_EQ(f.h.conn != nullptr, c.conn_left);
    }
}

TEST(SmtpSendMessage, VerdictsOfTheRecipientLoop) {
    {
        // Verdict 1 on the first accepted recipient: DATA with that one.
        smtp_fixture f("250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n", true);
        fill(f.h);
        f.verdicts[{7, 1}] = 1;
        EXPECT_EQ(smtp_send_message(&f.h), 1);
        EXPECT_EQ(commands(f.sent()),
                  (std::vector<std::string>{"mail from:<me@example.org>", "rcpt to:<y@example.org>",
                                            "data", "."}));
    }
    {
        // Verdict 2 on a refused To recipient: RSET, no Cc, Bcc or DATA.
        smtp_fixture f("250 ok\r\n550 no\r\n250 reset\r\n", true);
        fill(f.h);
        f.verdicts[{7, 2}] = 2;
        EXPECT_EQ(smtp_send_message(&f.h), 0);
        EXPECT_EQ(commands(f.sent()),
                  (std::vector<std::string>{"mail from:<me@example.org>", "rcpt to:<y@example.org>",
                                            "rset"}));
        EXPECT_NE(f.h.conn, nullptr);
    }
    {
        smtp_fixture f("250 ok\r\n550 no\r\n221 bye\r\n", true);
        fill(f.h);
        f.verdicts[{7, 2}] = 4;
        EXPECT_EQ(smtp_send_message(&f.h), 0);
        EXPECT_EQ(commands(f.sent()),
                  (std::vector<std::string>{"mail from:<me@example.org>", "rcpt to:<y@example.org>",
                                            "quit"}));
        EXPECT_EQ(f.h.conn, nullptr);
    }
}

TEST(SmtpSendMessage, Smtputf8Paths) {
    {
        // Announced: the address stays, and MAIL FROM declares it.
        smtp_fixture f("250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n", true);
        f.h.flags2 |= mail_f2_smtputf8 | mail_f2_dotstuff;
        f.h.from_addr = "me@example.org";
        addr_list_add(&f.h.to, "j\xC3\xB6rg@example.org", nullptr, nullptr);
        EXPECT_EQ(smtp_send_message(&f.h), 1);
        EXPECT_EQ(commands(f.sent())[0], "mail from:<me@example.org> SMTPUTF8");
    }
    {
        // Not announced: the UTF-8 recipient is skipped, the IDN one converted.
        smtp_fixture f("250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n", true);
        f.h.flags2 |= mail_f2_dotstuff;
        f.h.from_addr = "me@example.org";
        addr_list_add(&f.h.to,
                      "you@b\xC3\xBC"
                      "cher.example",
                      nullptr, nullptr);
        addr_list_add(&f.h.to, "j\xC3\xB6rg@example.org", nullptr, nullptr);
        EXPECT_EQ(smtp_send_message(&f.h), 1);
        EXPECT_EQ(commands(f.sent()),
                  (std::vector<std::string>{"mail from:<me@example.org>",
                                            "rcpt to:<you@xn--bcher-kva.example>", "data", "."}));
        EXPECT_EQ(f.events[1], (event_record{7, 2, "j\xC3\xB6rg@example.org"}));
        EXPECT_EQ(f.h.last_error, std::string("SMTPUTF8 required"));
    }
    {
        smtp_fixture f("221 bye\r\n", true);
        f.h.from_addr = "m\xC3\xA9@example.org";
        addr_list_add(&f.h.to, "you@example.org", nullptr, nullptr);
        EXPECT_EQ(smtp_send_message(&f.h), 0);
        EXPECT_EQ(commands(f.sent()), (std::vector<std::string>{"quit"}));
        EXPECT_EQ(f.events, (std::vector<event_record>{{6, 4, "m\xC3\xA9@example.org"}}));
        EXPECT_EQ(f.h.last_error, std::string("SMTPUTF8 required"));
        EXPECT_EQ(f.h.conn, nullptr);
    }
}

// A recipient callback's entries are sent as given, but a server without
// SMTPUTF8 gets only ASCII: an IDN domain in its A-label form, and an entry
// without an ASCII form not at all.
TEST(SmtpSendMessage, CallbackEntriesReachAServerWithoutSmtputf8InAscii) {
    static const char* const entries[] = {"you@B\xC3\x9C\x43HER.example", "x@-\xC3\xBC.de",
                                          "plain@example.org", "j\xC3\xB6rg@example.org",
                                          "Odd Entry@example.org"};
    static size_t next;
    for (const bool utf8 : {false, true}) {
        std::string replies;  // MAIL FROM and every RCPT TO sent
        for (size_t i = 0; i < (utf8 ? 6 : 4); ++i) replies += "250 ok\r\n";
        smtp_fixture f(replies + "354 go\r\n250 queued\r\n", true);
        f.h.flags2 |= mail_f2_dotstuff;
        if (utf8) f.h.flags2 |= mail_f2_smtputf8;
        f.h.from_addr = "me@example.org";
        next = 0;
        f.h.recipient_cb = [](void*, int selector, char** a, char**, char**) {
            if (selector != 0x800 || next == std::size(entries)) return 0;
            *a = const_cast<char*>(entries[next++]);
            return 1;
        };
        EXPECT_EQ(smtp_send_message(&f.h), 1);
        std::vector<std::string> rcpts;
        for (const std::string& c : commands(f.sent()))
            if (c.rfind("rcpt", 0) == 0) rcpts.push_back(c);
        std::vector<event_record> refused;
        for (const event_record& e : f.events)
            if (e.event == 12) refused.push_back(e);
        if (utf8) {
            EXPECT_EQ(rcpts.size(), std::size(entries));
            EXPECT_EQ(rcpts[0],
                      "rcpt to:<you@B\xC3\x9C"
                      "CHER.example>");
            EXPECT_TRUE(refused.empty());
            continue;
        }
        EXPECT_EQ(rcpts, (std::vector<std::string>{"rcpt to:<you@xn--bcher-kva.example>",
                                                   "rcpt to:<plain@example.org>",
                                                   "rcpt to:<Odd Entry@example.org>"}));
        EXPECT_EQ(refused, (std::vector<event_record>{{12, 2, "x@-\xC3\xBC.de"},
                                                      {12, 2, "j\xC3\xB6rg@example.org"}}));
    }
}

TEST(SmtpSendMessage, NoEnvelopeSenderSendsNothing) {
    smtp_fixture f("", true);
    addr_list_add(&f.h.to, "you@example.org", nullptr, nullptr);
    EXPECT_EQ(smtp_send_message(&f.h), 0);
    EXPECT_EQ(f.sent(), "");
    EXPECT_TRUE(f.h.last_error);
    EXPECT_NE(f.h.conn, nullptr);
}

TEST(SmtpSendMessage, UnreadableAttachmentGetsNoFinalDot) {
    smtp_fixture f("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n",
                   true);
    fill(f.h);
    const std::string path = testing::TempDir() + "smtp_gone.bin";
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ASSERT_EQ(mime_attach_add(&f.h.attachments, path.c_str(), mime_enc_base64, 0, nullptr, nullptr,
                              nullptr),
              1);
    std::remove(path.c_str());
    EXPECT_EQ(smtp_send_message(&f.h), 0);
    const std::string sent = f.sent();
    EXPECT_NE(sent.find("data\r\n"), std::string::npos);
    EXPECT_EQ(sent.find("\r\n.\r\n"), std::string::npos);  // never ended
    EXPECT_EQ(f.h.send_status, smtp_status_input_unusable);
    EXPECT_EQ(f.h.conn, nullptr);
    EXPECT_EQ(f.h.last_error, std::string("Could not open attachment (" + path + ")"));
    EXPECT_EQ(f.events.back(), (event_record{11, 4, "Could not open attachment (" + path + ")"}));
}

}  // namespace
}  // namespace ostrel
