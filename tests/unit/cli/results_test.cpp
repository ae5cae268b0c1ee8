#include "cli/results.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/state.hpp"
#include "cli_fixture.hpp"
#include "mail/mail.hpp"

namespace ostrel {
namespace {

using test::CliTest;

class ResultsEvent : public CliTest {
  protected:
    struct outcome {
        int verdict;
        std::string err;
    };
    outcome raise(int event, int status, const char* text) {
        ::testing::internal::CaptureStderr();
        int verdict = cli_results_event(&cli.cb_ctx, event, status, text);
        return {verdict, ::testing::internal::GetCapturedStderr()};
    }
};

TEST_F(ResultsEvent, VerdictsAndConsoleLines) {
    const struct {
        int event, status;
        const char* text;
        int verdict;
        const char* err;
    } cases[] = {
        {mail_ev_attachment, mail_status_failed, "gone.bin", 0, "gone.bin\n"},
        {mail_ev_attachment, mail_status_failed, nullptr, 0, "\n"},
        {mail_ev_connect, mail_status_ok, nullptr, 0, ""},
        {mail_ev_hello, mail_status_ok, nullptr, 0, ""},
        // A refused EHLO only adds the host: its verdict stays 0.
        {mail_ev_hello, mail_status_fatal, "554 go away", 0, ""},
        {mail_ev_starttls, mail_status_ok, nullptr, 0, ""},
        {mail_ev_starttls, mail_status_failed, "STARTTLS not accepted (454 no)", 0, ""},
        {mail_ev_auth, mail_status_ok, nullptr, 0, ""},
        {mail_ev_auth, mail_status_failed, "AUTH PLAIN failed (535 no)", 4,
         "AUTH PLAIN failed (535 no)\n"},
        // A fatal AUTH event falls to the fatal row: quit, no line.
        {mail_ev_auth, mail_status_fatal, "lost", 4, ""},
        {mail_ev_ready, mail_status_ok, nullptr, 0, ""},
        {mail_ev_mail_from, mail_status_ok, nullptr, 0, ""},
        {mail_ev_mail_from, mail_status_fatal, "550 sender refused", 4, ""},
        {mail_ev_no_recipients, mail_status_failed, "No recipients accepted", 4, ""},
        {mail_ev_rcpt, mail_status_ok, "a@example.org", 0, ""},
        {mail_ev_rcpt, mail_status_failed, "b@example.org", 0,
         "Recipient b@example.org rejected (550 no such user)\n"},
        {mail_ev_rcpt_utf8, mail_status_failed, "c@example.org", 0, ""},
        {mail_ev_data, mail_status_ok, nullptr, 4, ""},
        {mail_ev_data, mail_status_failed, "554 refused", 4, ""},
        {mail_ev_disconnect, mail_status_ok, "Disconnected", 0, ""},
        {mail_ev_disconnect, mail_status_fatal, "Disconnected", 4, ""},
        {mail_ev_connect, mail_status_fatal, "Could not connect to [x]:25", 4, ""},
        {mail_ev_message_check, mail_status_failed, "Inline attachments require a HTML body", 0,
         ""},
    };
    mail_set_error_text(h, "550 no such user");
    for (const auto& c : cases) {
        outcome o = raise(c.event, c.status, c.text);
        EXPECT_EQ(o.verdict, c.verdict) << c.event << "/" << c.status;
        EXPECT_EQ(o.err, c.err) << c.event << "/" << c.status;
    }
}

TEST_F(ResultsEvent, OnlyTheMessageEventDecidesSuccess) {
    const struct {
        std::vector<std::pair<int, int>> events;
        int send_ok;
    } cases[] = {
        {{}, 0},
        {{{mail_ev_rcpt, mail_status_ok}, {mail_ev_ready, mail_status_ok}}, 0},
        {{{mail_ev_data, mail_status_ok}}, 1},
        {{{mail_ev_data, mail_status_failed}}, 0},
        {{{mail_ev_connect, mail_status_fatal}}, 0},
        {{{mail_ev_mail_from, mail_status_fatal}}, 0},
        // The message was taken; losing the connection while quitting keeps it.
        {{{mail_ev_data, mail_status_ok}, {mail_ev_disconnect, mail_status_fatal}}, 1},
        {{{mail_ev_data, mail_status_ok}, {mail_ev_disconnect, mail_status_ok}}, 1},
    };
    for (const auto& c : cases) {
        cli.send_ok = 0;
        for (auto [event, status] : c.events) raise(event, status, nullptr);
        EXPECT_EQ(cli.send_ok, c.send_ok) << c.events.size();
    }
}

TEST_F(ResultsEvent, WorksWithoutResultsDocument) {
    ASSERT_EQ(cli.cb_ctx.results, nullptr);
    mail_set_error_text(h, std::nullopt);
    outcome o = raise(mail_ev_rcpt, mail_status_failed, "x@example.org");
    EXPECT_EQ(o.verdict, 0);
    EXPECT_EQ(o.err, "Recipient x@example.org rejected ()\n");
}

}  // namespace
}  // namespace ostrel
