#include "cli/results.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli/state.hpp"
#include "cli_fixture.hpp"
#include "json/json.hpp"
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

// With a results document, as -results: makes it.
class ResultsDocument : public ResultsEvent {
  protected:
    json_node* root = nullptr;
    void SetUp() override {
        ResultsEvent::SetUp();
        cli.results_root.reset(json_new(nullptr, json_object, nullptr));
        root = cli.cb_ctx.results = cli.results_root.get();
    }
    std::string compact() {
        char* t = json_print(root, 0);
        std::string s = t ? t : "(NULL)";
        std::free(t);
        return s;
    }
};

TEST_F(ResultsDocument, HostFromTheFirstHello) {
    mail_setopt(h, mail_opt_host, "mx.example.org");
    h->port = 2525;
    h->flags |= mail_f_esmtp;
    EXPECT_EQ(raise(mail_ev_hello, mail_status_ok, nullptr).verdict, 0);
    // After STARTTLS the second EHLO finds the host again; its values stay.
    h->flags |= mail_f_starttls;
    h->port = 1;
    EXPECT_EQ(raise(mail_ev_hello, mail_status_ok, nullptr).verdict, 0);
    EXPECT_EQ(compact(),
              "{\"host\":{\"hostname\":\"mx.example.org\",\"ip\":\"\",\"port\":2525,"
              "\"protocol\":\"ESMTP\"}}");
}

TEST_F(ResultsDocument, RecipientsInEventOrder) {
    raise(mail_ev_rcpt, mail_status_ok, "a@example.org");
    mail_set_error_text(h, "550 5.1.1 caf\xe9 unknown");
    outcome o = raise(mail_ev_rcpt, mail_status_failed, "b@example.org");
    EXPECT_EQ(o.err, "Recipient b@example.org rejected (550 5.1.1 caf\xe9 unknown)\n");
    raise(mail_ev_rcpt, mail_status_ok, "c@example.org");
    EXPECT_EQ(compact(),
              "{\"recipients\":[{\"e-mail\":\"a@example.org\",\"status\":\"accepted\"},"
              "{\"e-mail\":\"b@example.org\",\"status\":\"rejected\","
              "\"smtp response\":\"550 5.1.1 caf\xef\xbf\xbd unknown\"},"
              "{\"e-mail\":\"c@example.org\",\"status\":\"accepted\"}]}");
}

TEST_F(ResultsDocument, MessageIdFromTheMessageOrFatalEvent) {
    raise(mail_ev_connect, mail_status_fatal, "Could not connect");  // no id yet
    EXPECT_EQ(compact(), "{}");
    h->message_id = "<1@example.org>";
    raise(mail_ev_data, mail_status_ok, nullptr);
    h->message_id = "<2@example.org>";
    raise(mail_ev_disconnect, mail_status_fatal, "Disconnected");
    EXPECT_EQ(compact(), "{\"message-id\":\"<1@example.org>\"}");
}

TEST_F(ResultsDocument, MembersInOrder) {
    mail_setopt(h, mail_opt_from, "me@example.org");
    mail_setopt(h, mail_opt_subject, "Hello");
    mail_setopt(h, mail_opt_reply_to, "back@example.org");
    mail_setopt(h, mail_opt_return_path, "bounce@example.org");
    mail_setopt(h, mail_opt_helo, "client.example.org");
    h->msg_time = 951782400 + 86399;  // 2000-02-29 23:59:59
    cli_results_begin(h, root);
    h->message_id = "<id@example.org>";
    raise(mail_ev_data, mail_status_ok, nullptr);
    h->kept_reply = "250 2.0.0 queued";
    cli_results_end(h, root, 0);
    EXPECT_EQ(compact(),
              "{\"subject\":\"Hello\",\"date\":\"Date: Tue, 29 Feb 2000 23:59:59 GMT\","
              "\"from\":\"me@example.org\",\"reply-to\":\"back@example.org\","
              "\"return-path\":\"bounce@example.org\",\"helo\":\"client.example.org\","
              "\"message-id\":\"<id@example.org>\",\"status\":\"success\","
              "\"smtp response\":\"250 2.0.0 queued\"}");
}

TEST_F(ResultsDocument, StatusFollowsTheExitStatus) {
    const struct {
        int exit_status;
        const char* last_error;
        const char* want;
    } cases[] = {
        {0, nullptr, "{\"status\":\"success\"}"},
        {0, "left over", "{\"status\":\"success\"}"},
        {3, "Failed to open output file",
         "{\"status\":\"failure\",\"error\":\"Failed to open output file\"}"},
        {50, nullptr, "{\"status\":\"failure\"}"},
        {50, "", "{\"status\":\"failure\"}"},
    };
    for (const auto& c : cases) {
        cli.results_root.reset(json_new(nullptr, json_object, nullptr));
        root = cli.results_root.get();
        mail_set_error_text(h,
                            c.last_error ? std::optional<std::string>(c.last_error) : std::nullopt);
        cli_results_end(h, root, c.exit_status);
        EXPECT_EQ(compact(), c.want) << c.exit_status;
    }
}

TEST_F(ResultsDocument, WrittenWholeOrNotAtAll) {
    json_add_string(root, "status", "success");
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(cli_results_write(f, root), 1);
    std::rewind(f);
    char buf[64] = {};
    EXPECT_EQ(std::fread(buf, 1, sizeof buf - 1, f), 25u);
    EXPECT_STREQ(buf, "{\n  \"status\": \"success\"\n}");

    // A member lost to exhausted memory: nothing is written.
    std::FILE* g = std::tmpfile();
    json_mark_failed(json_add_object(root, "host"));
    EXPECT_EQ(cli_results_write(g, root), 0);
    EXPECT_EQ(std::ftell(g), 0);
    std::fclose(g);
    std::fclose(f);

    if (FILE* full = std::fopen("/dev/full", "wb")) {
        EXPECT_EQ(cli_results_write(full, cli.results_root.get()), 0);
        std::fclose(full);
    }
    EXPECT_EQ(cli_results_write(nullptr, root), 0);
}

}  // namespace
}  // namespace ostrel
