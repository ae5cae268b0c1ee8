#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "model/handle.hpp"
#include "net/conn.hpp"
#include "smtp/smtp.hpp"
#include "smtp_fixture.hpp"

namespace ostrel {
namespace {

using test::event_record;
using test::smtp_fixture;

TEST(SmtpReadLine, LinesThenEndClearsConnected) {
    smtp_fixture f("250-first\r\n250 second\r\n", true);
    EXPECT_STREQ(smtp_read_line(&f.h), "250-first");
    EXPECT_STREQ(smtp_read_line(&f.h), "250 second");
    EXPECT_TRUE(f.connected());
    EXPECT_EQ(smtp_read_line(&f.h), nullptr);
    EXPECT_FALSE(f.connected());
}

struct reply_case {
    const char* name;
    std::string server;  // then the server closes
    int want, divisor, keep;
    int result;
    int code;
    const char* line;   // the out-parameter's last line; nullptr when lost
    const char* kept;   // kept_reply afterwards ("old" when untouched)
    const char* error;  // last_error afterwards, nullptr when untouched
    bool connected;
};

TEST(SmtpReadReply, Table) {
    const std::string flood(70000, 'x');
    std::string many;
    for (int i = 0; i < 1001; ++i) many += "250-more\r\n";
    const reply_case cases[] = {
        {"multi-line reply is one", "250-first\r\n250-second\r\n250 last\r\n", 250, 1, 2, 250, 250,
         "250 last", "old", nullptr, true},
        {"divisor 10 takes 251", "251 forwarded\r\n", 250, 10, 2, 25, 251, "251 forwarded", "old",
         nullptr, true},
        {"divisor 1 refuses 251 and keeps it", "251 forwarded\r\n", 250, 1, 2, 0, 251,
         "251 forwarded", "251 forwarded", nullptr, true},
        {"keep 1 keeps an accepted reply", "250 queued\r\n", 250, 10, 1, 25, 250, "250 queued",
         "250 queued", nullptr, true},
        {"keep 0 keeps nothing", "550 no\r\n", 250, 1, 0, 0, 550, "550 no", "old", nullptr, true},
        {"a short line ends the reply", "25\r\n250 next\r\n", 250, 1, 2, 0, 25, "25", "25", nullptr,
         true},
        {"no digits read as 0", "abcdef\r\n", 250, 1, 2, 0, 0, "abcdef", "abcdef", nullptr, true},
        {"a dash in fourth place continues", "abc-def\r\n550 x\r\n", 250, 1, 2, 0, 550, "550 x",
         "550 x", nullptr, true},
        {"an empty line ends the reply", "\r\n", 250, 1, 2, 0, 0, "", "", nullptr, true},
        {"a reply cut short is lost", "250-first\r\n", 250, 1, 2, 0, 0, nullptr, "old",
         "Disconnected", false},
        {"a line over the limit is lost with its reason", flood, 250, 1, 2, 0, 0, nullptr, "old",
         "Received line too long", false},
        {"a flood of continuation lines is lost", many + "250 end\r\n", 250, 1, 2, 0, 0, nullptr,
         "old", "Reply has too many lines", false},
        {"percent and backslashes are data", "550 %s %n \\n\r\n", 250, 1, 2, 0, 550,
         "550 %s %n \\n", "550 %s %n \\n", nullptr, true},
    };
    for (const reply_case& c : cases) {
        SCOPED_TRACE(c.name);
        smtp_fixture f(c.server, true);
        f.h.kept_reply = "old";
        char* line = reinterpret_cast<char*>(1);
        EXPECT_EQ(smtp_read_reply(&f.h, c.want, c.divisor, &line, c.keep), c.result);
        if (c.line) {
            ASSERT_NE(line, nullptr);
            EXPECT_STREQ(line, c.line);
            EXPECT_EQ(f.h.reply_code, c.code);
            EXPECT_EQ(f.h.reply_line, std::string(c.line));
        } else {
            EXPECT_EQ(line, nullptr);
        }
        EXPECT_EQ(f.h.kept_reply, std::string(c.kept));
        if (c.error)
            EXPECT_EQ(f.h.last_error, std::string(c.error));
        else
            EXPECT_FALSE(f.h.last_error);
        EXPECT_EQ(f.connected(), c.connected);
    }
}

TEST(SmtpReadReply, NoConnectionLeavesTheLineAlone) {
    mail_handle h;
    char* line = reinterpret_cast<char*>(1);
    EXPECT_EQ(smtp_read_reply(&h, 250, 1, &line, 2), 0);
    EXPECT_EQ(line, reinterpret_cast<char*>(1));
}

// A server that sends one byte at a time, each well within the time-out,
// must not hold the client past the time-out for the whole reply.
TEST(SmtpReadReply, TheWholeReplyIsBoundedByTheTimeOut) {
    smtp_fixture f("", false, 1);
    std::thread drip([&f] {
        for (int i = 0; i < 30; ++i) {
            if (write(f.server, i % 2 ? "5" : "-", 1) != 1) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(smtp_read_reply(&f.h, 250, 1, nullptr, 2), 0);
    auto took = std::chrono::steady_clock::now() - start;
    drip.join();
    EXPECT_FALSE(f.connected());
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_GE(took, std::chrono::milliseconds(900));
    // Time ran out: the loss says so, not that the server left.
    EXPECT_EQ(f.h.last_error, std::string("Timed out"));
}

TEST(SmtpQuit, CodesAndLoss) {
    struct {
        const char* server;
        int result;
    } cases[] = {{"221 bye\r\n", 0}, {"250 what\r\n", 1}, {"", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        smtp_fixture f(c.server, true);
        f.h.last_error = "earlier reason";
        EXPECT_EQ(smtp_quit(&f.h), c.result);
        EXPECT_FALSE(f.connected());
        EXPECT_NE(f.h.conn, nullptr);
        EXPECT_EQ(f.sent(), "quit\r\n");
        // A lost QUIT reply does not replace what went wrong before.
        EXPECT_EQ(f.h.last_error, std::string("earlier reason"));
        EXPECT_TRUE(f.events.empty());
    }
}

TEST(SmtpClose, EventsByStatus) {
    {
        mail_handle h;
        EXPECT_EQ(smtp_close(&h, 1), 0);
    }
    for (int status : {0, 1, 4}) {
        smtp_fixture f("221 bye\r\n", true);
        EXPECT_EQ(smtp_close(&f.h, status), 1);
        EXPECT_EQ(f.h.conn, nullptr);
        EXPECT_EQ(f.sent(), "quit\r\n");
        if (status)
            EXPECT_EQ(f.events, (std::vector<event_record>{{11, status, "Disconnected"}}));
        else
            EXPECT_TRUE(f.events.empty());
    }
}

struct verdict_case {
    int verdict, allowed;
    int result;
    const char* sent;
    std::vector<event_record> events;
    bool closed;
};

TEST(SmtpApplyVerdict, Table) {
    const verdict_case cases[] = {
        {4, 2, 1, "quit\r\n", {{11, 1, "Disconnected"}}, true},
        {4, 3, 1, "quit\r\n", {{11, 1, "Disconnected"}}, true},
        {4, 1, 0, "", {}, false},
        {2, 1, 1, "rset\r\n", {}, false},
        {2, 3, 1, "rset\r\n", {}, false},
        {2, 2, 0, "", {}, false},
        {1, 3, 0, "", {}, false},
        {0, 3, 0, "", {}, false},
    };
    for (const verdict_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "verdict " << c.verdict << " allowed " << c.allowed);
        smtp_fixture f(c.verdict == 4 ? "221 bye\r\n" : "250 reset\r\n", true);
        EXPECT_EQ(smtp_apply_verdict(&f.h, c.verdict, c.allowed), c.result);
        EXPECT_EQ(f.sent(), c.sent);
        EXPECT_EQ(f.events, c.events);
        EXPECT_EQ(f.h.conn == nullptr, c.closed);
    }
}

TEST(SmtpRset, RefusedAndLost) {
    {
        smtp_fixture f("250 ok\r\n", true);
        EXPECT_EQ(smtp_rset(&f.h), 1);
        EXPECT_TRUE(f.events.empty());
    }
    {
        smtp_fixture f("451 busy\r\n", true);
        EXPECT_EQ(smtp_rset(&f.h), 0);
        EXPECT_EQ(f.events, (std::vector<event_record>{{1, 4, "451 busy"}}));
        EXPECT_EQ(f.h.kept_reply, std::string("451 busy"));
        EXPECT_NE(f.h.conn, nullptr);
    }
    {
        smtp_fixture f("", true);
        EXPECT_EQ(smtp_rset(&f.h), 0);
        EXPECT_EQ(f.events, (std::vector<event_record>{{11, 4, "Disconnected"}}));
        EXPECT_EQ(f.h.conn, nullptr);
    }
}

TEST(SmtpDropConnection, NamesTheLastError) {
    smtp_fixture f("", true);
    f.h.last_error = "Received line too long";
    EXPECT_EQ(smtp_drop_connection(&f.h), 0);
    EXPECT_EQ(f.h.conn, nullptr);
    EXPECT_FALSE(f.connected());
    EXPECT_EQ(f.events, (std::vector<event_record>{{11, 4, "Received line too long"}}));
}

}  // namespace
}  // namespace ostrel
