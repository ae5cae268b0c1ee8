#include "cli/results.hpp"

#include "cli/console.hpp"
#include "cli/state.hpp"
#include "mail/mail.hpp"

namespace ostrel {

namespace {

const char* text_or_empty(const char* text) {
    return text ? text : "";
}

}  // namespace

int cli_results_event(void* user, int event, int status, const char* text) {
    auto* ctx = static_cast<cli_callback_ctx*>(user);
    mail_handle* h = ctx ? ctx->handle : nullptr;
    if (event == mail_ev_attachment) {
        cli_fprintf(stderr, "%s\n", text_or_empty(text));
        return mail_verdict_continue;
    }
    if (event == mail_ev_hello) return mail_verdict_continue;
    if (event == mail_ev_auth && status == mail_status_failed) {
        cli_fprintf(stderr, "%s\n", text_or_empty(text));
        return mail_verdict_quit;
    }
    if (event == mail_ev_no_recipients) return mail_verdict_quit;
    if (event == mail_ev_rcpt) {
        if (status != mail_status_ok)
            cli_fprintf(stderr, "Recipient %s rejected (%s)\n", text_or_empty(text),
                        h ? mail_last_error(h) : "");
        return mail_verdict_continue;
    }
    if (event == mail_ev_data || status == mail_status_fatal) {
        // A fatal event after the server took the message (the connection
        // lost while quitting) keeps the success: the message is delivered,
        // and a failure would make a script send it again.
        if (event == mail_ev_data) cli.send_ok = status == mail_status_ok ? 1 : 0;
        return mail_verdict_quit;
    }
    return mail_verdict_continue;
}

}  // namespace ostrel
