// A whole delivery against a server played from the input over a socket
// pair. The input's first line chooses the settings (the letters below);
// the rest is everything the server and any proxy send, written before the
// client starts and followed by the end of the stream, each LF made CR LF
// unless "w" asks for the bytes as they are (binary proxy replies). The
// library then runs the whole send: proxy, greeting, EHLO or HELO,
// STARTTLS, AUTH, MAIL, RCPT, DATA with the message, the final dot, QUIT.
//
// Checks beyond memory safety: the connection is released and its socket
// closed at the end; nothing is sent after QUIT; the password never goes
// on the wire as it is, nor into the trace in any form; a final dot follows
// only a whole message (never one with a missing attachment), and every
// delivery reported as sent has one and a kept 25x reply (and none is when
// no write got through); event 11 comes at most once, and last.
//
// Letters of the first line:
//   u  user and password            o  the password is an OAuth token
//   L  a user name and a password of several hundred bytes
//   c p l b x  CRAM-MD5, PLAIN, LOGIN, OAUTHBEARER, XOAUTH2 not allowed
//   t  STARTTLS when offered        T  TLS required   s  TLS from the first byte
//   h  a HELO name                  n  no port (the default one)
//   d  default DSN flags and an envelope id   D  DSN flags of two recipients
//   8  a recipient with a UTF-8 local part    U  a sender with one
//   i  a recipient with an IDN domain         r  recipients from the callback
//   a  an attachment   m  one that is gone when sent   I  an inline one, no HTML
//   H  an HTML body    f  a prepared message file   k  DKIM signing
//   S  SOCKS5 proxy    y  HTTP proxy    Y  HTTP proxy with credentials
//   v  trace           V  trace with the socket calls
//   e  the connect fails            R  the server reads nothing: every write fails
//   C  connect, send and quit as separate actions   2  and a second send
//   w  the server's bytes as they are
//   =  then one verdict digit per event number from 1 (the 13th: event 255)
//
// The connect that hands the library its end of the pair (fake_connect.hpp):
// fuzz-link: -Wl,--wrap=_ZN6ostrel10ip_connectEPNS_7ip_connEPKci
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "dkim/keys.hpp"
#include "fake_connect.hpp"
#include "fuzz_util.hpp"
#include "mail/mail.hpp"
#include "model/handle.hpp"
#include "platform/number.hpp"

using namespace ostrel;

namespace {

const char* const proxy_user = "puser";
const char* const proxy_password = "proxy-Secret9";
const char* const end_of_body = "END-OF-BODY";

dkim_domain* keys = nullptr;

struct setup {
    std::string letters;
    std::string verdicts;
    std::string user = "me@example.org";
    std::string password = "pw-Secret7";
    bool has(char c) const { return letters.find(c) != std::string::npos; }
};

struct session {
    setup s;
    std::vector<std::pair<int, int>> events;  // event, status
    std::string traced;                       // every text the trace shows as sent
    int next_recipient = 0;
};

int verdict_of(const setup& s, int event) {
    const size_t i = event == mail_ev_message_check ? 12 : static_cast<size_t>(event - 1);
    if (event < 1 || i >= s.verdicts.size()) return mail_verdict_continue;
    switch (s.verdicts[i]) {
        case '1':
            return mail_verdict_stop;
        case '2':
            return mail_verdict_reset;
        case '4':
            return mail_verdict_quit;
        default:
            return mail_verdict_continue;
    }
}

int on_event(void* ctx, int event, int status, const char*) {
    auto* x = static_cast<session*>(ctx);
    x->events.emplace_back(event, status);
    return verdict_of(x->s, event);
}

int on_trace(void* ctx, int direction, const char* text) {
    if (direction == 0) static_cast<session*>(ctx)->traced += text;
    return 0;
}

int on_recipient(void* ctx, int, char** address, char** name, char** param) {
    struct entry {
        const char* address;
        const char* param;
    };
    static const entry entries[] = {{"cb1@example.org", nullptr},
                                    {"cb\xc3\xa9@example.org", ""},
                                    {"cb3@example.org", " NOTIFY=SUCCESS"}};
    auto* x = static_cast<session*>(ctx);
    if (x->next_recipient >= 3) return 0;
    const entry& e = entries[x->next_recipient++];
    *address = const_cast<char*>(e.address);
    *name = nullptr;
    *param = const_cast<char*>(e.param);
    return 1;
}

bool write_file(const char* name, const std::string& text) {
    FILE* f = std::fopen(name, "wb");
    if (!f) return false;
    std::fwrite(text.data(), 1, text.size(), f);
    return std::fclose(f) == 0;
}

void add_recipients(mail_handle* h, const setup& s) {
    const bool dsn = s.has('D');
    mail_setopt(h, mail_opt_recipient | mail_v_to, "to1@example.org", "One", dsn ? "D" : nullptr);
    mail_setopt(h, mail_opt_recipient | mail_v_to,
                s.has('8') ? "t\xc3\xb6@example.org" : "to2@example.org", nullptr,
                dsn ? "NS" : nullptr);
    mail_setopt(h, mail_opt_recipient | mail_v_cc,
                s.has('i') ? "cc@b\xc3\xbc"
                             "cher.example"
                           : "cc@example.org");
    mail_setopt(h, mail_opt_recipient | mail_v_bcc, "bcc@example.org");
}

void add_connection(mail_handle* h, const setup& s) {
    mail_setopt(h, mail_opt_host, "mail.example", s.has('n') ? nullptr : "2525");
    mail_setopt(h, mail_opt_timeout, "1");
    if (s.has('h')) mail_setopt(h, mail_opt_helo, "client.example");
    if (s.has('t')) mail_setopt(h, mail_opt_tls_mode | mail_v_starttls);
    if (s.has('T')) mail_setopt(h, mail_opt_tls_mode | mail_v_tls_required);
    if (s.has('s')) mail_setopt(h, mail_opt_tls_mode | mail_v_smtps);
    if (s.has('S')) mail_setopt(h, mail_opt_proxy | mail_v_socks5, "proxy.example", "1080");
    if (s.has('y') || s.has('Y'))
        mail_setopt(h, mail_opt_proxy | mail_v_http_proxy, "proxy.example");
    if (s.has('Y')) mail_setopt(h, mail_opt_proxy_credentials, proxy_user, proxy_password);
    mail_setopt(h, mail_opt_mailer, "fuzz-mailer");
    if (s.has('u')) mail_setopt(h, mail_opt_credentials, s.user.c_str(), s.password.c_str());
    if (s.has('o')) mail_setopt(h, mail_opt_oauth);
    uint32_t mechs = mail_auth_cram_md5 | mail_auth_plain | mail_auth_login |
                     mail_auth_oauthbearer | mail_auth_xoauth2;
    const uint32_t all = mechs;
    if (s.has('c')) mechs &= ~mail_auth_cram_md5;
    if (s.has('p')) mechs &= ~mail_auth_plain;
    if (s.has('l')) mechs &= ~mail_auth_login;
    if (s.has('b')) mechs &= ~mail_auth_oauthbearer;
    if (s.has('x')) mechs &= ~mail_auth_xoauth2;
    if (mechs != all) mail_set_auth_mask(h, mechs);
}

void add_message(mail_handle* h, const setup& s) {
    mail_setopt(h, mail_opt_from, s.has('U') ? "s\xc3\xa9nder@example.org" : "me@example.org",
                "Me");
    mail_setopt(h, mail_opt_subject, "Fuzz");
    mail_setopt(h, mail_opt_date, "1796784479");
    mail_setopt(h, mail_opt_body | mail_v_body_plain, "Hello\r\n.\r\n.hidden\r\nEND-OF-BODY\r\n");
    if (s.has('d')) mail_setopt(h, mail_opt_dsn, "SF", "env+id=1");
    if (s.has('a')) mail_setopt(h, mail_opt_attachment, "att.txt");
    if (s.has('m')) {
        // Taken while it exists, gone when the message is written.
        write_file("gone.txt", "soon gone\r\n");
        mail_setopt(h, mail_opt_attachment, "gone.txt");
        unlink("gone.txt");
    }
    if (s.has('I')) mail_setopt(h, mail_opt_attachment | mail_opt_inline, "att.txt");
    if (s.has('H')) mail_setopt(h, mail_opt_html_body, "<p>Hello</p>");
    if (s.has('f')) mail_setopt(h, mail_opt_email_file, "m.eml");
    if (s.has('k')) {
        mail_setopt(h, mail_opt_dkim);
        h->dkim_keys = keys;
    }
}

void configure(mail_handle* h, session& x) {
    const setup& s = x.s;
    mail_set_callback(h, mail_cb_event, reinterpret_cast<mail_any_cb>(on_event), &x);
    if (s.has('v') || s.has('V')) {
        mail_set_callback(h, mail_cb_trace, reinterpret_cast<mail_any_cb>(on_trace), &x);
        mail_setopt(h, mail_opt_trace_level, s.has('V') ? "3" : "1");
    }
    if (s.has('r'))
        mail_set_callback(h, mail_cb_recipient, reinterpret_cast<mail_any_cb>(on_recipient), &x);
    add_connection(h, s);
    add_message(h, s);
    add_recipients(h, s);
}

// The server's bytes: LF becomes CR LF where no CR stands before it.
std::string server_bytes(const std::string& text, bool raw) {
    if (raw) return text;
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

// Everything the client sent; traps when its socket is still open.
std::string read_wire(int fd) {
    std::string wire;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        // A client that closed with server bytes unread resets the pair.
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return wire;
        if (n < 0) __builtin_trap();  // would block: the client's socket was left open
        wire.append(buf, static_cast<size_t>(n));
    }
}

// Runs the actions; the kept reply of the last send, and whether it went.
std::pair<std::string, int> run(mail_handle* h, const setup& s) {
    int sent = 0;
    if (s.has('C')) {
        if (mail_setopt(h, mail_act_connect)) {
            sent = mail_setopt(h, mail_act_send);
            if (s.has('2') && (h->flags & mail_f_connected)) sent = mail_setopt(h, mail_act_send);
            mail_setopt(h, mail_act_quit);
        }
    } else {
        sent = mail_setopt(h, mail_act_deliver);
    }
    if (h->conn || (h->flags & mail_f_connected)) __builtin_trap();  // not released
    return {h->kept_reply.value_or(""), sent};
}

void check_wire(const std::string& wire, const setup& s, const std::string& kept, int sent) {
    for (size_t q = wire.find("quit\r\n"); q != std::string::npos; q = wire.find("quit\r\n", q + 1))
        if ((q == 0 || wire[q - 1] == '\n') && q + 6 != wire.size()) __builtin_trap();
    if (wire.find(s.password) != std::string::npos) __builtin_trap();
    if (wire.find(proxy_password) != std::string::npos) __builtin_trap();
    const bool missing = s.has('m') && !s.has('f');
    int dots = 0;
    for (size_t d = wire.find("\r\n.\r\n"); d != std::string::npos;
         d = wire.find("\r\n.\r\n", d + 1), ++dots) {
        const size_t data = wire.rfind("\r\ndata\r\n", d);
        if (missing || data == std::string::npos) __builtin_trap();
        if (wire.find(end_of_body, data) > d) __builtin_trap();  // a dot inside the message
    }
    if (sent && (dots == 0 || plat_atoi(kept.c_str()) / 10 != 25)) __builtin_trap();
    // Nothing reached a server that read nothing: no delivery can have gone.
    if (sent && s.has('R')) __builtin_trap();
}

void check_trace(const session& x) {
    const std::string& user = x.s.user;
    const std::string& password = x.s.password;
    const std::string forms[] = {
        password,
        proxy_password,
        fuzz::base64(password),
        fuzz::base64(std::string(1, '\0') + user + std::string(1, '\0') + password),
        fuzz::base64("n,a=" + user + ",\x01" + "auth=Bearer " + password + "\x01\x01"),
        fuzz::base64("user=" + user + "\x01" + "auth=Bearer " + password + "\x01\x01"),
        fuzz::base64(std::string(proxy_user) + ":" + proxy_password),
    };
    for (const std::string& f : forms)
        if (x.traced.find(f) != std::string::npos) __builtin_trap();
}

void check_events(const session& x, int sent) {
    bool closed = false, done = false;
    for (const auto& [event, status] : x.events) {
        if (closed) __builtin_trap();  // an event after the close
        closed = event == mail_ev_disconnect;
        done = done || (event == mail_ev_data && status == mail_status_ok);
    }
    if (sent && !done) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/ostrel-fuzz-smtp-XXXXXX";
    if (!fuzz::enter_scratch_dir(dir)) return 1;
    mail_global_init(1, 1);
    if (!write_file("att.txt", "attachment\r\n.\r\nline\r\n") ||
        !write_file("m.eml",
                    "From: me@example.org\r\nTo: to1@example.org\r\nSubject: prepared\r\n\r\n"
                    "Hello\r\n.\r\n.hidden\r\nEND-OF-BODY\r\n"))
        return 1;
    return fuzz::add_ed25519_key(&keys, "example.org") ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nl = input.find('\n');
    if (nl == std::string::npos || nl > 64) return 0;
    session x;
    const std::string first = input.substr(0, nl);
    const size_t eq = first.find('=');
    x.s.letters = first.substr(0, eq);
    if (eq != std::string::npos) x.s.verdicts = first.substr(eq + 1);
    if (x.s.has('L')) {
        // Beyond the bounds of fixed buffers: 765 bytes of base64 input.
        x.s.user = std::string(760, 'u') + "@example.org";
        x.s.password += std::string(800, 'p');
    }
    const std::string server = server_bytes(input.substr(nl + 1), x.s.has('w'));

    int fds[2];
    if (!fuzz::socket_with(reinterpret_cast<const uint8_t*>(server.data()), server.size(), fds))
        return 0;
    if (x.s.has('e')) close(fds[0]);
    if (x.s.has('R')) shutdown(fds[1], SHUT_RD);
    fuzz::connect_sock = x.s.has('e') ? -1 : fds[0];
    mail_handle* h = mail_create();
    configure(h, x);
    const auto [kept, sent] = run(h, x.s);
    mail_setopt(h, mail_act_destroy);
    if (fuzz::connect_sock >= 0) close(fuzz::connect_sock);  // never asked for
    fuzz::connect_sock = -1;
    const std::string wire = read_wire(fds[1]);
    close(fds[1]);

    check_wire(wire, x.s, kept, sent);
    check_trace(x);
    check_events(x, sent);
    return 0;
}
