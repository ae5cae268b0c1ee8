#include "cli/results.hpp"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "cli/console.hpp"
#include "cli/state.hpp"
#include "json/json.hpp"
#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "net/tls.hpp"
#include "platform/console.hpp"
#include "platform/file_map.hpp"
#include "platform/replace.hpp"
#include "smtp/smtp.hpp"
#include "support/date.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

const char* text_or_empty(const char* text) {
    return text ? text : "";
}

void add_optional(json_node* root, const char* key, const std::optional<std::string>& text) {
    if (text) json_add_string(root, key, text->c_str());
}

// The first EHLO makes "host"; a later one (after STARTTLS) finds it and
// only adds what is new, the TLS description.
void add_host(mail_handle* h, json_node* root) {
    json_node* host = json_find(root, "host");
    if (!host && !(host = json_add_object(root, "host"))) return;
    char name[256], ip[256];
    uint16_t port = 0;
    uint32_t flags = 0;
    mail_connection_info(h, name, ip, &port, &flags);
    json_add_string(host, "hostname", name);
    json_add_string(host, "ip", ip);
    json_add_number(host, "port", port);
    json_add_string(host, "protocol", smtp_protocol_name(flags));
    char tls[512];
    if (*ip_tls_info(h->conn, tls, sizeof tls)) json_add_string(host, "tls", tls);
}

void add_recipient(mail_handle* h, json_node* root, int status, const char* address) {
    json_node* list = json_find(root, "recipients");
    if (!list && !(list = json_add_array(root, "recipients"))) return;
    json_node* r = json_add_object(list, nullptr);
    if (!r) return;
    json_add_string(r, "e-mail", text_or_empty(address));
    bool accepted = status == mail_status_ok;
    json_add_string(r, "status", accepted ? "accepted" : "rejected");
    if (!accepted) json_add_string(r, "smtp response", mail_last_error(h));
}

}  // namespace

int cli_results_event(void* user, int event, int status, const char* text) {
    auto* ctx = static_cast<cli_callback_ctx*>(user);
    mail_handle* h = ctx ? ctx->handle : nullptr;
    if (event == mail_ev_attachment) {
        cli_fprintf(stderr, "%s\n", str_escape_controls(text).c_str());
        if (ctx) ctx->input_reported = 1;
        return mail_verdict_continue;
    }
    json_node* root = ctx ? ctx->results : nullptr;
    if (event == mail_ev_hello) {
        if (root && h) add_host(h, root);
        return mail_verdict_continue;
    }
    if (event == mail_ev_auth && status == mail_status_failed) {
        cli_fprintf(stderr, "%s\n", str_escape_controls(text).c_str());
        return mail_verdict_quit;
    }
    if (event == mail_ev_no_recipients) return mail_verdict_quit;
    if (event == mail_ev_rcpt) {
        if (root && h) add_recipient(h, root, status, text);
        if (status != mail_status_ok)
            cli_fprintf(stderr, "Recipient %s rejected (%s)\n", str_escape_controls(text).c_str(),
                        str_escape_controls(h ? mail_last_error(h) : "").c_str());
        return mail_verdict_continue;
    }
    if (event == mail_ev_data || status == mail_status_fatal) {
        // A fatal event after the server took the message (the connection
        // lost while quitting) keeps the success: the message is delivered,
        // and a failure would make a script send it again.
        if (root && h && !h->message_id.empty())
            json_add_string(root, "message-id", h->message_id.c_str());
        if (event == mail_ev_data) cli.send_ok = status == mail_status_ok ? 1 : 0;
        return mail_verdict_quit;
    }
    return mail_verdict_continue;
}

void cli_results_begin(mail_handle* h, json_node* root) {
    if (!h || !root) return;
    add_optional(root, "subject", h->subject);
    int64_t t = h->msg_time ? h->msg_time : static_cast<int64_t>(std::time(nullptr));
    struct tm tm {};
    if (!date_gmtime_copy(&t, &tm)) {
        t = 0;  // as the Date field does beyond the calendar
        date_gmtime_copy(&t, &tm);
    }
    char date[128];
    cli_sprintf(date, sizeof date, "Date: %s, %.2d %s %.4d %.2d:%.2d:%.2d GMT",
                date_weekday_abbr(tm.tm_wday), tm.tm_mday, date_month_abbr(tm.tm_mon + 1),
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec);
    json_add_string(root, "date", date);
    add_optional(root, "from", h->from_addr);
    add_optional(root, "reply-to", h->reply_to_addr);
    add_optional(root, "return-path", h->return_path);
    add_optional(root, "helo", h->helo);
}

void cli_results_end(mail_handle* h, json_node* root, int exit_status) {
    if (!h || !root) return;
    json_add_string(root, "status", exit_status == 0 ? "success" : "failure");
    if (exit_status != 0 && str_non_empty(str_or_null(h->last_error)))
        json_add_string(root, "error", h->last_error->c_str());
    add_optional(root, "smtp response", h->kept_reply);
}

namespace {

struct text_deleter {
    void operator()(char* text) const { std::free(text); }
};
using json_text = std::unique_ptr<char, text_deleter>;

// A member lost to exhausted memory would leave a document that looks
// whole: there is no text then, and none is written.
json_text whole_text(json_node* root) {
    if (!root || (root->flags & json_f_failed)) return nullptr;
    return json_text(json_print(root, 1));
}

}  // namespace

int cli_results_write(FILE* f, json_node* root) {
    json_text text = whole_text(root);
    if (!f || !text) return 0;
    size_t len = std::strlen(text.get());
    size_t written = std::fwrite(text.get(), 1, len, f);
    return written == len && std::fflush(f) == 0 ? 1 : 0;
}

void cli_results_closer::operator()(FILE* f) const {
    if (how != cli_results_direct) plat_truncate(f);
    if (f != stdout) std::fclose(f);
}

cli_results_stream cli_results_open(const char* value) {
    if (std::strcmp(value, "-") == 0) return cli_results_stream(stdout);
    if (FILE* f = plat_open_replaceable(value))
        return cli_results_stream(f, {cli_results_replaced});
    // A symbolic link is written through, never replaced: a rename would put
    // a file in the link's place, and what it leads to may be another
    // stream of this process (/dev/stdout) or lie in a folder that cannot
    // take a temporary file. So is a regular file in such a folder: in
    // place. Standard output's own file keeps what the program prints there.
    if (FILE* f = plat_open_rewritable(value)) {
        if (!platform_same_file(f, stdout)) return cli_results_stream(f, {cli_results_in_place});
        std::fclose(f);
    }
    return cli_results_stream(plat_fopen(value, "wb"));
}

int cli_results_save(cli_results_stream out, const char* name, json_node* root) {
    FILE* f = out.get();
    if (!f) return 0;
    if (const int how = out.get_deleter().how; how != cli_results_direct) {
        // Whatever the outcome, the file is the new document or the old one.
        out.get_deleter().how = cli_results_direct;
        json_text text = whole_text(root);
        if (!text) return 0;
        const size_t len = std::strlen(text.get());
        return how == cli_results_replaced ? plat_replace_file(name, text.get(), len)
                                           : plat_rewrite_file(f, text.get(), len);
    }
    int ok = cli_results_write(f, root);
    if (f == stdout ? std::fflush(f) != 0 : std::fclose(out.release()) != 0) ok = 0;
    return ok;
}

int cli_results_on_stdout(const cli_results_stream& out) {
    return out && (out.get() == stdout || platform_same_file(out.get(), stdout)) ? 1 : 0;
}

}  // namespace ostrel
