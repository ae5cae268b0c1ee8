// The frame of the conversation: reading replies, RSET, QUIT, closing and
// the verdicts of the event callback.
#include <cstring>
#include <string>

#include "model/handle.hpp"
#include "net/conn.hpp"
#include "net/io.hpp"
#include "platform/number.hpp"
#include "smtp/smtp.hpp"
#include "smtp/smtp_internal.hpp"

namespace ostrel {

namespace smtp_detail {

void close_conn(mail_handle* h) {
    if (h->conn) {
        ip_disconnect(h->conn);
        ip_conn_free(h->conn);
    }
    h->conn = nullptr;
    h->flags &= ~mail_f_connected;
}

void note_lost(mail_handle* h, const char* reason) {
    h->flags &= ~mail_f_connected;
    if (reason)
        mail_set_error_text(h, std::string(reason));
    else if (ip_timed_out(h->conn))
        mail_set_error_text(h, std::string(smtp_timed_out_text));
    else if (h->conn && h->conn->error_text)
        mail_set_error_text(h, *h->conn->error_text);
    else
        mail_set_error_text(h, std::string("Disconnected"));
}

const char* error_or_disconnected(const mail_handle* h) {
    return h->last_error ? h->last_error->c_str() : "Disconnected";
}

bool is_last_line(const char* line) {
    return !(line[0] && line[1] && line[2] && line[3] == '-');
}

char* read_reply_lines(mail_handle* h, char** line, line_fn fn, void* ctx, bool name_loss) {
    ip_conn* c = h->conn;
    if (!c) return nullptr;
    // The command goes out before its reply is awaited, even when bytes the
    // server sent early are already buffered.
    ip_flush(c);
    // The whole reply, not each wait, is bounded by the time-out: a server
    // that drips a byte at a time cannot hold the client.
    ip_deadline whole(c);
    char* last = nullptr;
    const char* reason = "Reply has too many lines";
    for (int n = 0; n < smtp_reply_max_lines; ++n) {
        char* l = ip_readline(c, "\r\n", 2);
        if (line) *line = l;
        if (!l) {
            reason = nullptr;
            break;
        }
        if (fn) fn(ctx, l);
        if (is_last_line(l)) {
            last = l;
            break;
        }
    }
    if (!last) {
        if (line) *line = nullptr;
        // Reading stopped inside the reply: nothing after it can be trusted.
        if (name_loss)
            note_lost(h, reason);
        else
            h->flags &= ~mail_f_connected;
    }
    return last;
}

void set_reply(mail_handle* h, const char* last) {
    h->reply_code = plat_atoi(last);
    h->reply_line = std::string(last);
}

}  // namespace smtp_detail

using namespace smtp_detail;

char* smtp_read_line(mail_handle* h) {
    char* line = h->conn ? ip_readline(h->conn, "\r\n", 2) : nullptr;
    if (!line) h->flags &= ~mail_f_connected;
    return line;
}

int smtp_event(mail_handle* h, int event, int status, const char* text) {
    return h->event_cb ? h->event_cb(h->event_user, event, status, text) : mail_verdict_continue;
}

int smtp_read_reply(mail_handle* h, int want, int divisor, char** line, int keep) {
    if (!h->conn) return 0;
    if (line) *line = nullptr;
    char* last = read_reply_lines(h, line, nullptr, nullptr);
    if (!last) return 0;
    set_reply(h, last);
    if (divisor == 0) divisor = 1;
    int result = h->reply_code / divisor == want / divisor ? want / divisor : 0;
    if (keep == smtp_keep_always || (keep == smtp_keep_refused && result == 0))
        h->kept_reply = h->reply_line;
    return result;
}

int smtp_read_reply_exact(mail_handle* h, int want, char** line, int keep) {
    return smtp_read_reply(h, want, 1, line, keep);
}

int smtp_drop_connection(mail_handle* h) {
    smtp_event(h, mail_ev_disconnect, mail_status_fatal, error_or_disconnected(h));
    close_conn(h);
    return 0;
}

int smtp_quit(mail_handle* h) {
    if (!h->conn) {
        h->flags &= ~mail_f_connected;
        return 1;
    }
    ip_printf(h->conn, "quit\r\n");
    // Read without the keep rule, and a lost reply to QUIT names nothing:
    // whatever went wrong before it stays the reason.
    char* last = read_reply_lines(h, nullptr, nullptr, nullptr, false);
    h->flags &= ~mail_f_connected;
    if (!last) return 1;
    set_reply(h, last);
    return h->reply_code == 221 ? 0 : 1;
}

int smtp_close(mail_handle* h, int status) {
    if (!h->conn) return 0;
    if (h->flags & mail_f_connected) smtp_quit(h);
    close_conn(h);
    if (status) smtp_event(h, mail_ev_disconnect, status, error_or_disconnected(h));
    return 1;
}

int smtp_apply_verdict(mail_handle* h, int verdict, int allowed) {
    if (verdict == mail_verdict_quit && (allowed & smtp_allow_quit)) {
        if (!h->conn) return 1;
        if (h->flags & mail_f_connected) smtp_quit(h);
        close_conn(h);
        smtp_event(h, mail_ev_disconnect, mail_status_ok, error_or_disconnected(h));
        return 1;
    }
    if (verdict == mail_verdict_reset && (allowed & smtp_allow_rset)) {
        smtp_rset(h);
        return 1;
    }
    return 0;
}

int smtp_rset(mail_handle* h) {
    if (!h->conn) return 0;
    ip_printf(h->conn, "rset\r\n");
    char* line = nullptr;
    if (smtp_read_reply(h, 250, 1, &line, smtp_keep_refused)) return 1;
    if (h->flags & mail_f_connected) {
        mail_set_error_text(h, line ? std::optional<std::string>(line) : std::nullopt);
        smtp_event(h, mail_ev_connect, mail_status_fatal, line);
        return 0;
    }
    smtp_event(h, mail_ev_disconnect, mail_status_fatal, error_or_disconnected(h));
    close_conn(h);
    return 0;
}

const char* smtp_protocol_name(uint32_t flags) {
    const bool tls = flags & 2;
    const bool auth = flags & 8;
    if (flags & 4) return auth ? "SMTPSA" : "SMTPS";
    if (flags & 1) {
        if (tls) return auth ? "ESMTPSA" : "ESMTPS";
        return auth ? "ESMTPA" : "ESMTP";
    }
    return "SMTP";
}

}  // namespace ostrel
