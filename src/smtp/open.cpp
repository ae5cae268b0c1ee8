// Opening a conversation: connect (direct or through a proxy), TLS from the
// first byte, the greeting, EHLO or HELO with the capability scan, STARTTLS,
// and the authentication stage.
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "message/token.hpp"
#include "model/handle.hpp"
#include "net/conn.hpp"
#include "net/io.hpp"
#include "net/proxy.hpp"
#include "net/tls.hpp"
#include "platform/number.hpp"
#include "smtp/smtp.hpp"
#include "smtp/smtp_internal.hpp"
#include "support/str.hpp"

namespace ostrel {

using namespace smtp_detail;

namespace {

constexpr int smtp_read_buffer = 10000;
constexpr uint32_t default_port = 25;
constexpr uint32_t default_smtps_port = 465;
constexpr uint32_t default_http_proxy_port = 8080;
constexpr uint32_t default_socks5_port = 1080;
// The most seconds whose milliseconds fit a signed 32-bit count.
constexpr int32_t max_timeout_seconds = 2147483;

// What a server announces; forgotten when TLS starts (RFC 3207 4.2) and at
// every opening, so nothing said in clear or to an earlier conversation
// counts.
constexpr uint32_t capability_bits = mail_f_cram_md5 | mail_f_login | mail_f_plain |
                                     mail_f_oauthbearer | mail_f_xoauth2 | mail_f_dsn |
                                     mail_f_esmtp;

void forget_capabilities(mail_handle* h) {
    h->flags &= ~capability_bits;
    h->flags2 &= ~mail_f2_smtputf8;
}

struct scan_state {
    mail_handle* h;
    bool starttls = false;
};

void scan_line(void* ctx, const char* line) {
    auto* s = static_cast<scan_state*>(ctx);
    smtp_ehlo_scan_line(s->h, line, &s->starttls);
}

void trace_info(mail_handle* h, const char* text) {
    if (h->trace_cb) h->trace_cb(h->trace_user, -1, text);
}

// The automatic STARTTLS rule: with a user set and no usable mechanism
// announced in clear, STARTTLS may reveal one.
void auto_starttls(mail_handle* h) {
    if (h->flags & mail_f_starttls_wanted || !h->user) return;
    if ((h->flags & mail_f_oauth) && !(h->flags & mail_f_oauthbearer)) {
        trace_info(h, "No OAuth authentication available, trying STARTTLS.\n");
        h->flags |= mail_f_starttls;
    } else if (!(h->flags & (mail_f_cram_md5 | mail_f_login | mail_f_plain))) {
        trace_info(h, "No authentication available, trying STARTTLS.\n");
        h->flags |= mail_f_starttls;
    }
}

// Connects by one of the three roads; NULL, or the failure text.
std::optional<std::string> connect_roads(mail_handle* h) {
    ip_conn* c = h->conn;
    const char* host = h->host ? h->host->c_str() : "";
    const int port = static_cast<int>(h->port);
    char* text = nullptr;
    if (h->proxy_host) {
        const char* proxy = h->proxy_host->c_str();
        if (h->proxy_type == mail_proxy_http) {
            if (h->proxy_port == 0) h->proxy_port = default_http_proxy_port;
            const int pport = static_cast<int>(h->proxy_port);
            if (ip_connect(c, proxy, pport) == 0)
                fmt_asprintf(&text, "Could not connect to HTTPS proxy [%s]:%d", proxy, pport);
            else if (!proxy_https_connect(c, host, port,
                                          h->proxy_user ? h->proxy_user->c_str() : nullptr,
                                          h->proxy_password ? h->proxy_password->c_str() : nullptr,
                                          h->mailer ? h->mailer->c_str() : nullptr))
                fmt_asprintf(&text, "Could not connect to [%s]:%d via HTTPS proxy", host, port);
        } else {
            if (h->proxy_port == 0) h->proxy_port = default_socks5_port;
            const int pport = static_cast<int>(h->proxy_port);
            if (ip_connect(c, proxy, pport) == 0)
                fmt_asprintf(&text, "Could not connect to SOCKS proxy [%s]:%d", proxy, pport);
            else if (!proxy_socks5_connect(c, host, port))
                fmt_asprintf(&text, "Could not connect to [%s]:%d via SOCKS proxy", host, port);
        }
    } else if (ip_connect(c, host, port) == 0) {
        fmt_asprintf(&text, "Could not connect to [%s]:%d", host, port);
    }
    if (!text) return std::nullopt;
    // A proxy that fell silent ran out of time: named as at every step.
    if (ip_timed_out(c)) {
        std::free(text);
        return std::string(smtp_timed_out_text);
    }
    std::string out(text);
    std::free(text);
    return out;
}

// TLS on the connection; false with the connection closed and last_error
// "Timed out" or the library's text (copied before the connection that
// holds it goes).
bool start_tls(mail_handle* h) {
    const char* err = nullptr;
    if (ip_tls_start(h->conn, 0, &err, h->host ? h->host->c_str() : "",
                     (h->flags & mail_f_verify) ? 1 : 0,
                     h->tls_protocols ? h->tls_protocols->c_str() : nullptr,
                     h->tls_ciphers ? h->tls_ciphers->c_str() : nullptr))
        return true;
    if (ip_timed_out(h->conn))
        mail_set_error_text(h, std::string(smtp_timed_out_text));
    else
        mail_set_error_text(h, std::string(err ? err : "TLS handshake failed"));
    close_conn(h);
    return false;
}

// A refused EHLO or HELO: event 2 status 4, QUIT, close.
int hello_refused(mail_handle* h, const char* line) {
    mail_set_error_text(h, line ? std::optional<std::string>(line) : std::nullopt);
    smtp_event(h, mail_ev_hello, mail_status_fatal, line);
    if (h->flags & mail_f_connected) smtp_quit(h);
    close_conn(h);
    return 0;
}

// Raises event with status 1 and applies its verdict; false when a QUIT
// ended the conversation.
bool event_goes_on(mail_handle* h, int event, int status, const char* text) {
    int verdict = smtp_event(h, event, status, text);
    return !(verdict == mail_verdict_quit && smtp_apply_verdict(h, verdict, smtp_allow_quit));
}

}  // namespace

void smtp_ehlo_scan_line(mail_handle* h, const char* line, bool* starttls) {
    if (std::strlen(line) < 5) return;
    const char* kw = line + 4;
    if (str_casecmp(kw, "STARTTLS") == 0) {
        *starttls = true;
    } else if (str_casecmp(kw, "DSN") == 0) {
        h->flags |= mail_f_dsn;
    } else if (str_casecmp(kw, "SMTPUTF8") == 0) {
        h->flags2 |= mail_f2_smtputf8;
    } else if (h->user && str_ncasecmp(kw, "AUTH ", 5) == 0) {
        struct mech {
            const char* name;
            uint32_t offered;
            uint32_t disabled;
        };
        static const mech mechs[] = {
            {"CRAM-MD5", mail_f_cram_md5, mail_f_no_cram_md5},
            {"PLAIN", mail_f_plain, mail_f_no_plain},
            {"LOGIN", mail_f_login, mail_f_no_login},
            {"OAUTHBEARER", mail_f_oauthbearer, mail_f_no_oauthbearer},
            {"XOAUTH2", mail_f_xoauth2, mail_f_no_xoauth2},
        };
        std::vector<char> copy(kw, kw + std::strlen(kw) + 1);
        char* save = nullptr;
        for (char* w = str_tok(copy.data(), " ", &save); w; w = str_tok(nullptr, " ", &save))
            for (const mech& m : mechs)
                if (str_casecmp(w, m.name) == 0 && !(h->flags & m.disabled)) h->flags |= m.offered;
    }
}

std::string smtp_address_literal(const char* local) {
    if (!local) return "[]";
    // RFC 5321 4.1.3: an IPv6 literal carries its tag.
    if (std::strchr(local, ':')) return std::string("[IPv6:") + local + "]";
    return std::string("[") + local + "]";
}

int smtp_hello(mail_handle* h, int extended, char** line) {
    if (line) *line = nullptr;
    if (!h->conn) return 0;
    std::string arg;
    if (h->helo) {
        arg = *h->helo;
    } else {
        char local[501];
        arg = smtp_address_literal(ip_local_address(h->conn, local, sizeof local, nullptr));
    }
    ip_printf(h->conn, "%s %s\r\n", extended ? "ehlo" : "helo", arg.c_str());
    scan_state scan{h};
    // HELO's reply is read whole too: a multi-line one would otherwise be
    // taken for the replies of the commands after it.
    char* last = read_reply_lines(h, line, extended ? scan_line : nullptr, &scan);
    if (!last) {
        smtp_event(h, mail_ev_disconnect, mail_status_fatal, error_or_disconnected(h));
        close_conn(h);
        return 0;
    }
    const int code = plat_atoi(last);
    if (!extended) return code;
    if (code == 250) h->flags |= mail_f_esmtp;
    // There is no STARTTLS inside TLS, whatever the server announces.
    if (scan.starttls && !h->conn->tls) {
        if (h->flags & mail_f_starttls_wanted) h->flags |= mail_f_starttls;
        auto_starttls(h);
    }
    return code;
}

int smtp_open_session(mail_handle* h) {
    // An open connection is closed first: replacing it would leak it.
    if (h->conn) smtp_close(h, 0);
    char token[17];
    mime_random_token(token);
    h->conversation_token = token;
    h->flags &= ~(mail_f_connected | mail_f_authenticated | mail_f_starttls);
    forget_capabilities(h);
    h->flags2 |= mail_f2_dotstuff;

    ip_conn* c = ip_conn_new(ip_stream, smtp_read_buffer, ip_f_wait);
    if (!c) throw std::bad_alloc();  // the actions make it the out-of-memory status
    h->conn = c;
    ip_conn_set_family(c, static_cast<int>(h->family));
    c->trace_fn = h->trace_cb;
    c->trace_ctx = h->trace_user;
    const uint32_t level = (h->flags2 & mail_f2_trace_mask) >> mail_f2_trace_shift;
    if (level & 1) c->flags |= ip_f_trace;
    if (level & 2) c->flags |= ip_f_trace_io;
    if (h->timeout != 0) {
        int32_t seconds = h->timeout < 1 ? 1 : h->timeout;
        if (seconds > max_timeout_seconds) seconds = max_timeout_seconds;
        ip_set_timeout(c, seconds);
    }
    if (h->port == 0) h->port = (h->flags & mail_f_smtps) ? default_smtps_port : default_port;

    if (std::optional<std::string> failed = connect_roads(h)) {
        mail_set_error_text(h, failed);
        smtp_event(h, mail_ev_connect, mail_status_fatal, failed->c_str());
        close_conn(h);
        return 0;
    }
    h->flags |= mail_f_connected;

    if (h->flags & mail_f_smtps) {
        if (!start_tls(h)) return 0;
        h->flags &= ~(mail_f_starttls | mail_f_tls_required | mail_f_starttls_wanted);
    }

    char* line = nullptr;
    if (smtp_read_reply(h, 220, 1, &line, smtp_keep_refused)) {
        if (!event_goes_on(h, mail_ev_connect, mail_status_ok, nullptr)) return 0;
    } else if (h->flags & mail_f_connected) {
        mail_set_error_text(h, line ? std::optional<std::string>(line) : std::nullopt);
        smtp_event(h, mail_ev_connect, mail_status_fatal, line);
        return 0;
    } else {
        smtp_event(h, mail_ev_disconnect, mail_status_fatal, error_or_disconnected(h));
        close_conn(h);
        return 0;
    }

    int code = smtp_hello(h, 1, &line);
    if (code == 500 && (h->flags & mail_f_connected)) code = smtp_hello(h, 0, &line);
    if (!(h->flags & mail_f_connected)) return 0;
    if (code != 250) return hello_refused(h, line);
    smtp_event(h, mail_ev_hello, mail_status_ok, nullptr);

    if (h->flags & mail_f_starttls) {
        ip_printf(h->conn, "starttls\r\n");
        if (smtp_read_reply(h, 220, 1, &line, smtp_keep_refused)) {
            // Bytes the server sent after its 220 would be taken for TLS
            // records, or for replies inside the tunnel: refuse them.
            const ip_conn* c2 = h->conn;
            if (c2->read_ptr && c2->read_ptr < c2->buf + c2->buf_fill) {
                mail_set_error_text(h, std::string("Unexpected data after STARTTLS reply"));
                smtp_event(h, mail_ev_starttls, mail_status_fatal, mail_last_error(h));
                close_conn(h);
                return 0;
            }
            if (!start_tls(h)) return 0;
            h->flags |= mail_f_starttls;
            if (!event_goes_on(h, mail_ev_starttls, mail_status_ok, nullptr)) return 0;
            forget_capabilities(h);
            code = smtp_hello(h, 1, &line);
            if (!(h->flags & mail_f_connected)) return 0;
            if (code != 250) return hello_refused(h, line);
            if (!event_goes_on(h, mail_ev_hello, mail_status_ok, nullptr)) return 0;
        } else if (!(h->flags & mail_f_connected)) {
            return smtp_drop_connection(h);
        } else if (h->flags & mail_f_tls_required) {
            mail_set_error_text(h, line ? std::optional<std::string>(line) : std::nullopt);
            smtp_event(h, mail_ev_starttls, mail_status_fatal, line);
            smtp_close(h, 0);
            return 0;
        } else {
            mail_set_error_text(h,
                                std::string("STARTTLS not accepted (") + (line ? line : "") + ")");
            if (!event_goes_on(h, mail_ev_starttls, mail_status_failed, mail_last_error(h)))
                return 0;
            h->flags &= ~mail_f_starttls;
        }
    } else if (h->flags & mail_f_tls_required) {
        mail_set_error_text(h, std::string("Server did not indicate support for STARTTLS in EHLO"));
        smtp_event(h, mail_ev_starttls, mail_status_fatal, mail_last_error(h));
        smtp_close(h, 0);
        return 0;
    }

    if (h->user && !smtp_authenticate(h)) return 0;
    smtp_event(h, mail_ev_ready, mail_status_ok, h->last_error ? h->last_error->c_str() : nullptr);
    return 1;
}

}  // namespace ostrel
