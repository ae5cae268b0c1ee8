// mail_setopt: every setting of a handle and every action on it, behind one
// numeric code. Each option checks its values and makes its copies before it
// replaces anything, so a refused call leaves the handle as it was.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "message/address.hpp"
#include "message/attach_list.hpp"
#include "message/email_file.hpp"
#include "message/scan.hpp"
#include "message/token.hpp"
#include "net/conn.hpp"
#include "net/tls.hpp"
#include "platform/number.hpp"
#include "smtp/smtp.hpp"
#include "support/file.hpp"
#include "support/str.hpp"
#include "support/utf8.hpp"

namespace ostrel {

namespace {

// One call of the dispatcher, with its variant already taken apart.
struct opt_call {
    mail_handle* h;
    uint32_t code;
    uint32_t variant;
    bool unset;
    const char* p1;
    const char* p2;
    const char* p3;
    const char* p4;
    bool from_file() const { return code & mail_opt_from_file; }
};

constexpr uint32_t auth_disable_all = mail_f_no_cram_md5 | mail_f_no_login | mail_f_no_plain |
                                      mail_f_no_oauthbearer | mail_f_no_xoauth2;
constexpr uint32_t tls_mode_bits = mail_f_smtps | mail_f_tls_required | mail_f_starttls_wanted;
constexpr uint32_t default_timeout_seconds = 300;
// ip_set_timeout keeps milliseconds in a signed 32-bit value.
constexpr int32_t max_timeout_seconds = INT32_MAX / 1000;
constexpr size_t max_envid_length = 100;
constexpr int32_t status_out_of_memory = 666;
constexpr uint32_t max_port = 65535;
constexpr uint32_t default_http_proxy_port = 8080;
constexpr uint32_t default_socks5_port = 1080;

// A Message-ID must hold an "@" and no control byte, which would break the
// field it goes into.
bool has_at(const char* s) {
    return s && std::strchr(s, '@') && !addr_has_control(s);
}
std::optional<std::string> copy_of(const char* s) {
    return s ? std::optional<std::string>(s) : std::nullopt;
}
// Numbers travel as decimal texts; NULL counts as 0.
uint32_t number_u32(const char* s) {
    return static_cast<uint32_t>(plat_atoi(s));
}

int set_flag(uint32_t& word, uint32_t bit, bool on) {
    word = on ? word | bit : word & ~bit;
    return 1;
}
// The options that only switch one bit on (set) or off (unset).
int opt_bit(const opt_call& c, uint32_t& word, uint32_t bit) {
    return set_flag(word, bit, !c.unset);
}

// A whole file read by its UTF-8 name: raw bytes, or with every line end CRLF.
std::optional<std::string> read_file(const char* path, const char* mode, bool raw) {
    file_ptr f(file_fopen_utf8(path, mode));
    if (!f) return std::nullopt;
    // Text lines refuse a NUL byte, which would cut the text where it stands.
    std::string text;
    if (file_read_text(f.get(), raw ? 0 : file_text_crlf | file_text_no_nul, &text) != file_text_ok)
        return std::nullopt;
    return text;
}

// Memory running out while a file is read is no fault of the file: the
// option fails with the handle's status set to out of memory, so that the
// caller can tell it from an unreadable file.
template <typename F>
int reading_file(mail_handle* h, F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        h->send_status = status_out_of_memory;
        return 0;
    }
}

// A list file's entry. The list refuses an unusable address and, quietly,
// one it had no memory for: the latter is told apart and thrown.
int list_file_entry(void* list, const char* addr, uint32_t addr_len, const char* name,
                    uint32_t name_len) {
    if (addr_cb_list_file(list, addr, addr_len, name, name_len)) return 1;
    if (addr_classify(std::string(addr, addr_len).c_str()) != 0) throw std::bad_alloc();
    return 0;
}

int opt_from(const opt_call& c) {
    if (!addr_is_mailbox(c.p1)) return 0;
    std::string addr(c.p1);
    c.h->from_name = c.p2 ? mime_encode_word(c.p2) : std::nullopt;
    c.h->from_addr = std::move(addr);
    return 1;
}

addr_list* recipient_list(mail_handle* h, uint32_t variant) {
    if (variant & mail_v_to) return &h->to;
    if (variant & mail_v_cc) return &h->cc;
    if (variant & mail_v_bcc) return &h->bcc;
    return nullptr;
}

int opt_recipient_unset(const opt_call& c) {
    uint32_t v = c.variant ? c.variant : mail_v_to | mail_v_cc | mail_v_bcc;
    if (v & mail_v_to) addr_list_free(&c.h->to);
    if (v & mail_v_cc) addr_list_free(&c.h->cc);
    if (v & mail_v_bcc) addr_list_free(&c.h->bcc);
    return 1;
}

int opt_recipient(const opt_call& c) {
    if (c.unset) return opt_recipient_unset(c);
    addr_list* list = recipient_list(c.h, c.variant);
    if (!list || !str_non_empty(c.p1)) return 0;
    if (!c.from_file()) return addr_list_add(list, c.p1, c.p2, c.p3) ? 1 : 0;
    return reading_file(c.h, [&c, list] {
        std::optional<std::string> text = read_file(c.p1, "r", false);
        if (!text) return 0;
        // A byte-order mark at the very start is the file's, not its first address's.
        const char* start = text->c_str() + utf8_bom_length(*text);
        // A list the scanner could not read to its end would leave recipients
        // out unseen: that is a failure, not a shorter list.
        const char* stopped_at = nullptr;
        if (!addr_scan_list_file(list, start, list_file_entry, &stopped_at)) return 0;
        return stopped_at && *stopped_at == '\0' ? 1 : 0;
    });
}

int opt_subject(const opt_call& c) {
    if (c.unset) {
        c.h->subject.reset();
        return 1;
    }
    if (!str_non_empty(c.p1)) return 0;
    std::optional<std::string> s = mime_encode_word(c.p1);
    if (!s) return 0;
    c.h->subject = std::move(s);
    return 1;
}

// The body's transfer encoding; false for a variant that names none.
bool body_encoding(mail_handle* h, uint32_t variant) {
    switch (variant) {
        case mail_v_body_plain:
            h->flags &= ~mail_f_body_enc_mask;
            return true;
        case mail_v_body_base64:
            h->flags = (h->flags & ~mail_f_body_enc_mask) | mail_f_body_base64;
            return true;
        case mail_v_body_qp:
            h->flags = (h->flags & ~mail_f_body_enc_mask) | mail_f_body_qp;
            return true;
        default:
            return false;
    }
}

int opt_body(const opt_call& c) {
    if (c.unset) {
        c.h->body.reset();
        c.h->flags2 &= ~mail_f2_body_file;
        return 1;
    }
    bool known = body_encoding(c.h, c.variant);
    if (!c.p1) return known ? 1 : 0;
    if (!c.from_file()) {
        c.h->body = c.p1;
        return 1;
    }
    c.h->flags2 |= mail_f2_body_file;
    return reading_file(c.h, [&c] {
        std::optional<std::string> text = read_file(c.p1, "rb", c.code & mail_opt_raw_read);
        if (!text) return 0;
        c.h->body = std::move(text);
        return 1;
    });
}

int opt_output_file(const opt_call& c) {
    if (c.unset) {
        c.h->output_file.reset();
        c.h->mode = mail_mode_smtp;
        return 1;
    }
    if (!c.p1) return 0;
    c.h->output_file = c.p1;
    c.h->mode = mail_mode_file;
    return 1;
}

int opt_host(const opt_call& c) {
    uint32_t port = number_u32(c.p2);
    // The host goes into proxy requests as it is: no line break may end one.
    if (!c.p1 || port > max_port || addr_has_control(c.p1)) return 0;
    c.h->host = c.p1;
    c.h->port = port;
    return 1;
}

int opt_email_file(const opt_call& c) {
    if (c.unset) {
        c.h->email_file.reset();
        c.h->email_file_stamp.reset();
        c.h->mode = mail_mode_smtp;
        return 1;
    }
    if (!c.p1 || !file_exists(c.p1)) return 0;
    c.h->email_file = c.p1;
    c.h->email_file_stamp.reset();
    c.h->mode = mail_mode_email_file;
    return 1;
}

int opt_credentials(const opt_call& c) {
    if (c.unset) {
        c.h->user.reset();
        c.h->password.reset();
        return 1;
    }
    if (!str_non_empty(c.p1) || !c.p2) return 0;
    std::string user(c.p1), password(c.p2);
    c.h->user = std::move(user);
    c.h->password = std::move(password);
    return 1;
}

int opt_attachment(const opt_call& c) {
    if (c.unset) return mime_attach_list_free(&c.h->attachments);
    if (c.variant > mail_v_attach_uuencode || !str_non_empty(c.p1)) return 0;
    uint32_t kind = c.variant >> mail_opt_variant_shift;
    return mime_attach_add(&c.h->attachments, c.p1, mime_attach_encoding_by_kind(kind),
                           c.code & mail_opt_inline, c.p2, c.p3, c.p4);
}

int opt_priority(const opt_call& c) {
    if (c.unset) {
        c.h->priority = mail_priority_normal;
        return 1;
    }
    uint32_t level = c.variant >> mail_opt_variant_shift;
    if (level < mail_priority_highest || level > mail_priority_lowest) return 0;
    c.h->priority = level;
    return 1;
}

int opt_reply_to(const opt_call& c) {
    if (c.unset) {
        c.h->reply_to_addr.reset();
        c.h->reply_to_name.reset();
        return 1;
    }
    if (!addr_is_mailbox(c.p1)) return 0;
    std::string addr(c.p1);
    c.h->reply_to_name = c.p2 ? mime_encode_word(c.p2) : std::nullopt;
    c.h->reply_to_addr = std::move(addr);
    return 1;
}

int opt_html_body(const opt_call& c) {
    if (c.unset) {
        c.h->html_body.reset();
        return 1;
    }
    if (!c.p1 || (c.from_file() && !file_exists_utf8(c.p1))) return 0;
    c.h->html_body = c.p1;
    return set_flag(c.h->flags2, mail_f2_html_file, c.from_file());
}

int opt_helo(const opt_call& c) {
    // The name goes into "ehlo %s": a line break would start a command.
    if (!c.unset && c.p1 && addr_has_control(c.p1)) return 0;
    c.h->helo = c.unset ? std::nullopt : copy_of(c.p1);
    return 1;
}

int opt_header(const opt_call& c) {
    if (c.unset) {
        msg_header_list_free(&c.h->headers);
        return 1;
    }
    if (!str_non_empty(c.p1) || !c.p2 || std::strlen(c.p1) > msg_header_name_max) return 0;
    return msg_header_list_add(&c.h->headers, c.p1, c.p2);
}

// A charset name goes into the Content-Type field as it is: printable ASCII
// without blanks, quotes or backslashes, or it would break the field.
bool usable_charset(const char* s) {
    for (; *s; ++s) {
        const auto b = static_cast<unsigned char>(*s);
        if (b < 0x21 || b > 0x7E || b == '"' || b == '\\') return false;
    }
    return true;
}

int opt_charset(const opt_call& c) {
    if (c.unset) {
        c.h->charset.reset();
        return 1;
    }
    if (!c.p1 || !usable_charset(c.p1)) return 0;
    c.h->charset = *c.p1 ? copy_of(c.p1) : std::nullopt;
    return 1;
}

int opt_line_length(const opt_call& c) {
    if (c.unset) {
        c.h->line_length = mail_line_length_min;
        return 1;
    }
    if (!c.p1) return 0;
    c.h->line_length =
        std::clamp<uint32_t>(number_u32(c.p1), mail_line_length_min, mail_line_length_max);
    return 1;
}

// Bits 8-12 of the code are the five mechanisms; unset adds the classic three.
int opt_auth_types(const opt_call& c) {
    uint32_t mask = (c.code & mail_v_auth_mask) >> mail_opt_variant_shift;
    if (c.unset) mask |= mail_auth_cram_md5 | mail_auth_plain | mail_auth_login;
    if (!mask) return 0;
    mail_set_auth_mask(c.h, mask);
    return 1;
}

int opt_ip_version(const opt_call& c) {
    uint32_t v = c.variant & (mail_v_ipv4 | mail_v_ipv6);
    c.h->family = v == mail_v_ipv4 ? 4 : v == mail_v_ipv6 ? 6 : 0;
    return 1;
}

int opt_dsn(const opt_call& c) {
    if (c.unset) {
        c.h->flags &= ~mail_f_dsn_mask;
        c.h->dsn_envid.reset();
        return 1;
    }
    std::optional<std::string> envid;
    if (str_non_empty(c.p2) && std::strlen(c.p2) <= max_envid_length) envid = c.p2;
    bool took_envid = envid.has_value();
    if (c.p1) mail_set_dsn_letters(c.h, c.p1);
    if (took_envid) c.h->dsn_envid = std::move(envid);
    return c.p1 || took_envid ? 1 : 0;
}

int opt_tls_mode(const opt_call& c) {
    if (c.unset) {
        c.h->flags &= ~tls_mode_bits;
        return 1;
    }
    switch (c.variant) {
        case mail_v_starttls:
            c.h->flags |= mail_f_starttls_wanted;
            break;
        case mail_v_tls_required:
            c.h->flags |= mail_f_tls_required | mail_f_starttls_wanted;
            break;
        case mail_v_smtps:
            c.h->flags |= mail_f_smtps;
            break;
        default:
            break;
    }
    return 1;
}

// Sets the open connection's time-out and the one later connections get.
int apply_timeout(mail_handle* h, int32_t seconds) {
    if (h->conn) ip_set_timeout(h->conn, seconds);
    h->timeout = seconds;
    return 1;
}

int opt_timeout(const opt_call& c) {
    if (c.unset) return apply_timeout(c.h, default_timeout_seconds);
    int32_t seconds = plat_atoi(c.p1);
    if (seconds <= 0) return 0;
    return apply_timeout(c.h, std::min(seconds, max_timeout_seconds));
}

int opt_date(const opt_call& c) {
    c.h->msg_time = static_cast<int64_t>(plat_strtoui64(c.p1));
    return 1;
}

int opt_return_path(const opt_call& c) {
    if (c.unset) {
        c.h->return_path.reset();
        return 1;
    }
    if (!addr_is_mailbox(c.p1)) return 0;
    c.h->return_path = c.p1;
    return 1;
}

int opt_delete_header(const opt_call& c) {
    if (c.unset) {
        msg_header_list_free(&c.h->removed_headers);
        return 1;
    }
    if (!str_non_empty(c.p1)) return 0;
    return msg_header_list_add(&c.h->removed_headers, c.p1, "");
}

// The number of the line at line, counted as the header scanner ends lines.
size_t line_number(const char* text, const char* line) {
    size_t n = 1;
    for (const char* p = text; p < line; ++p)
        if (*p == '\n' || (*p == '\r' && p[1] != '\n')) ++n;
    return n;
}

// A field of the prepared file; refused says that msg_cb_header refused one
// and left its reason in the error text.
struct header_read {
    mail_handle* h;
    bool refused = false;
};

int header_field(void* ctx, const char* name, uint32_t name_len, const char* value,
                 uint32_t value_len) {
    auto* r = static_cast<header_read*>(ctx);
    if (msg_cb_header(r->h, name, name_len, value, value_len)) return 1;
    r->refused = true;
    return 0;
}

// The bits stay set even when the file cannot be read: they say what the
// caller asked for. When a field is wanted, a header block that cannot be
// read whole, or an entry that is no mailbox, fails with the reason in the
// error text: a recipient is never left out unseen.
int opt_from_email_file(const opt_call& c) {
    if (!c.h->email_file) return 0;
    if (c.p1) c.h->flags2 |= mail_f2_take_rcpts;
    if (c.p2) c.h->flags2 |= mail_f2_take_from;
    // Only a file that can be sent is read: a device or a FIFO in its place
    // would be read without end.
    if (msg_check_email_file(c.h) != msg_email_file_ok) return 0;
    if (!(c.h->flags2 & (mail_f2_take_rcpts | mail_f2_take_from))) return 1;
    return reading_file(c.h, [&c] {
        // Only the header block, of the state just found sendable.
        std::string text;
        if (msg_read_email_file_header(c.h, &text) != msg_email_file_ok) return 0;
        mail_set_error_text(c.h, std::nullopt);  // what is left there is this file's
        header_read read{c.h};
        const char* stopped_at = nullptr;
        msg_scan_headers(&read, text.c_str(), header_field, &stopped_at);
        if (!stopped_at) return 1;
        if (!read.refused)
            mail_set_error_text(c.h, "Malformed header line " +
                                         std::to_string(line_number(text.c_str(), stopped_at)) +
                                         " in message file (" + *c.h->email_file + ")");
        return 0;
    });
}

int opt_ca_path(const opt_call& c) {
    if (c.unset || !c.p1) return 0;
    return ip_set_ca_dir(c.p1) ? 1 : 0;
}

// Texts that p1 sets and unset clears; a NULL p1 is refused.
int opt_text(const opt_call& c, std::optional<std::string>& field) {
    if (c.unset) {
        field.reset();
        return 1;
    }
    if (!c.p1) return 0;
    field = c.p1;
    return 1;
}

int opt_dkim_algorithm(const opt_call& c) {
    if (c.unset) {
        c.h->dkim_algos = mail_dkim_best;
        return 1;
    }
    // One algorithm, or bits 9-11 those of best whatever bit 8 (best, all).
    constexpr uint32_t above_sha1 = mail_opt_variant_mask & ~uint32_t{mail_dkim_rsa_sha1};
    uint32_t v = c.variant;
    if (v != mail_dkim_rsa_sha1 && v != mail_dkim_rsa_sha256 && v != mail_dkim_ed25519_sha256 &&
        (v & above_sha1) != mail_dkim_best)
        return 0;
    c.h->dkim_algos = static_cast<uint16_t>(c.h->dkim_algos | v);
    return 1;
}

int opt_dkim_canon(const opt_call& c) {
    if (c.unset) {
        c.h->dkim_canon = mail_canon_simple_simple;
        return 1;
    }
    uint32_t v = c.variant;
    if (v != mail_canon_simple_simple && v != mail_canon_simple_relaxed &&
        v != mail_canon_relaxed_relaxed && v != mail_canon_relaxed_simple && v != mail_canon_all)
        return 0;
    c.h->dkim_canon = static_cast<uint16_t>(v);
    return 1;
}

int opt_dkim_default(const opt_call& c) {
    c.h->dkim_default = c.unset ? std::nullopt : copy_of(c.p1);
    return 1;
}

int opt_timeout_raw(const opt_call& c) {
    c.h->timeout = plat_atoi(c.p1);
    return 1;
}

int opt_trace_level(const opt_call& c) {
    if (c.unset) return set_flag(c.h->flags2, mail_f2_trace_mask, false);
    if (!c.h->trace_cb) return 0;
    uint32_t level = (number_u32(c.p1) << mail_f2_trace_shift) & mail_f2_trace_mask;
    c.h->flags2 = (c.h->flags2 & ~mail_f2_trace_mask) | level;
    return 1;
}

int opt_proxy(const opt_call& c) {
    mail_handle* h = c.h;
    if (c.unset) {
        h->proxy_host.reset();
        h->proxy_port = 0;
        h->proxy_type = mail_proxy_socks5;
        return 1;
    }
    uint32_t port = number_u32(c.p2);
    if (port > max_port) return 0;
    uint32_t type = (c.variant & mail_v_http_proxy) ? mail_proxy_http
                    : (c.variant & mail_v_socks5)   ? mail_proxy_socks5
                                                    : h->proxy_type;
    if (c.p1) {
        h->proxy_host = c.p1;
        h->proxy_port = port                      ? port
                        : type == mail_proxy_http ? default_http_proxy_port
                                                  : default_socks5_port;
    }
    h->proxy_type = type;
    return 1;
}

int opt_proxy_credentials(const opt_call& c) {
    if (c.unset) {
        c.h->proxy_user.reset();
        c.h->proxy_password.reset();
        return 1;
    }
    if (!c.p1 || !c.p2) return 0;
    std::string user(c.p1), password(c.p2);
    c.h->proxy_user = std::move(user);
    c.h->proxy_password = std::move(password);
    return 1;
}

// The brackets must both fit in the 512-byte field: a longer id is refused
// rather than stored without its ">".
int opt_message_id(const opt_call& c) {
    if (c.unset) {
        c.h->message_id.clear();
        return 1;
    }
    if (!has_at(c.p1) || std::strlen(c.p1) + 2 >= mail_message_id_size) return 0;
    c.h->message_id = std::string("<") + c.p1 + ">";
    return 1;
}

int opt_boundaries(const opt_call& c) {
    std::optional<std::string> mixed, alt, related;
    if (!c.unset) {
        mixed = copy_of(c.p1);
        alt = copy_of(c.p2);
        related = copy_of(c.p3);
    }
    c.h->boundary_mixed = std::move(mixed);
    c.h->boundary_alt = std::move(alt);
    c.h->boundary_related = std::move(related);
    return 1;
}

// An exhausted allocator during a conversation ends it: the run then
// ends with the out-of-memory status.
template <typename F>
int in_conversation(mail_handle* h, F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        if (h->conn) {
            ip_disconnect(h->conn);
            ip_conn_free(h->conn);
            h->conn = nullptr;
        }
        h->flags &= ~mail_f_connected;
        h->send_status = status_out_of_memory;
        mail_set_error_text(h, std::nullopt);
        return 0;
    }
}

int act_connect(const opt_call& c) {
    return in_conversation(c.h, [h = c.h] {
        if (smtp_open_session(h)) return 1;
        smtp_close(h, 0);
        return 0;
    });
}

int act_quit(const opt_call& c) {
    if (!(c.h->flags & mail_f_connected)) return 0;
    return in_conversation(c.h, [h = c.h] {
        smtp_close(h, mail_status_ok);
        return 1;
    });
}

int act_send(const opt_call& c) {
    return in_conversation(c.h, [h = c.h] {
        if (h->flags & mail_f_connected) return smtp_send_message(h);
        return smtp_drop_connection(h);
    });
}

int act_deliver(const opt_call& c) {
    mail_handle* h = c.h;
    if (h->host) {
        return in_conversation(h, [h] {
            int sent = smtp_open_session(h) ? smtp_send_message(h) : 0;
            smtp_close(h, mail_status_ok);
            return sent;
        });
    }
    if (h->output_file) return mail_write_output_file(h);
    return 0;
}

int act_destroy(const opt_call& c) {
    // A connection still held is closed (QUIT when connected), no event.
    in_conversation(c.h, [h = c.h] { return smtp_close(h, 0); });
    return mail_destroy(c.h);
}

int dispatch_flags(const opt_call& c, uint32_t id) {
    mail_handle* h = c.h;
    switch (id) {
        case mail_opt_oauth:
            return opt_bit(c, h->flags, mail_f_oauth);
        case mail_opt_force_mime:
            return opt_bit(c, h->flags, mail_f_force_mime);
        case mail_opt_mdn:
            return opt_bit(c, h->flags, mail_f_mdn);
        case mail_opt_dotstuff:
            return opt_bit(c, h->flags, mail_f_dotstuff_file);
        case mail_opt_dkim:
            return opt_bit(c, h->flags2, mail_f2_dkim);
        case mail_opt_raw_headers:
            return opt_bit(c, h->flags, mail_f_raw_headers);
        case mail_opt_verify:
            return opt_bit(c, h->flags, mail_f_verify);
        default:
            return -1;
    }
}

int dispatch_texts(const opt_call& c, uint32_t id) {
    mail_handle* h = c.h;
    switch (id) {
        case mail_opt_tls_ciphers:
            return opt_text(c, h->tls_ciphers);
        case mail_opt_tls_protocols:
            return opt_text(c, h->tls_protocols);
        case mail_opt_mailer:
            return opt_text(c, h->mailer);
        default:
            return -1;
    }
}

int dispatch(const opt_call& c, uint32_t id) {
    switch (id) {
        case mail_opt_from:
            return opt_from(c);
        case mail_opt_recipient:
            return opt_recipient(c);
        case mail_opt_subject:
            return opt_subject(c);
        case mail_opt_body:
            return opt_body(c);
        case mail_opt_output_file:
            return opt_output_file(c);
        case mail_opt_host:
            return opt_host(c);
        case mail_opt_email_file:
            return opt_email_file(c);
        case mail_opt_credentials:
            return opt_credentials(c);
        case mail_opt_attachment:
            return opt_attachment(c);
        case mail_opt_priority:
            return opt_priority(c);
        case mail_opt_reply_to:
            return opt_reply_to(c);
        case mail_opt_html_body:
            return opt_html_body(c);
        case mail_opt_helo:
            return opt_helo(c);
        case mail_opt_header:
            return opt_header(c);
        case mail_opt_charset:
            return opt_charset(c);
        case mail_opt_line_length:
            return opt_line_length(c);
        case mail_opt_auth_types:
            return opt_auth_types(c);
        case mail_opt_ip_version:
            return opt_ip_version(c);
        case mail_opt_dsn:
            return opt_dsn(c);
        case mail_opt_tls_mode:
            return opt_tls_mode(c);
        case mail_opt_timeout:
            return opt_timeout(c);
        case mail_opt_date:
            return opt_date(c);
        case mail_opt_return_path:
            return opt_return_path(c);
        case mail_opt_delete_header:
            return opt_delete_header(c);
        case mail_opt_from_email_file:
            return opt_from_email_file(c);
        case mail_opt_ca_path:
            return opt_ca_path(c);
        case mail_opt_dkim_algorithm:
            return opt_dkim_algorithm(c);
        case mail_opt_dkim_canon:
            return opt_dkim_canon(c);
        case mail_opt_dkim_default:
            return opt_dkim_default(c);
        case mail_opt_timeout_raw:
            return opt_timeout_raw(c);
        case mail_opt_trace_level:
            return opt_trace_level(c);
        case mail_opt_proxy:
            return opt_proxy(c);
        case mail_opt_proxy_credentials:
            return opt_proxy_credentials(c);
        case mail_opt_message_id:
            return opt_message_id(c);
        case mail_opt_boundaries:
            return opt_boundaries(c);
        case mail_act_connect:
            return act_connect(c);
        case mail_act_quit:
            return act_quit(c);
        case mail_act_send:
            return act_send(c);
        case mail_act_deliver:
            return act_deliver(c);
        case mail_act_destroy:
            return act_destroy(c);
        default:
            break;
    }
    int r = dispatch_flags(c, id);
    if (r < 0) r = dispatch_texts(c, id);
    return r < 0 ? 0 : r;
}

}  // namespace

int mail_setopt(mail_handle* h, uint32_t code, const char* p1, const char* p2, const char* p3) {
    return mail_setopt_ex(h, code, p1, p2, p3, nullptr);
}

int mail_setopt_ex(mail_handle* h, uint32_t code, const char* p1, const char* p2, const char* p3,
                   const char* p4) {
    uint32_t id = code & mail_opt_id_mask;
    if (!h || id < 1 || id > mail_act_destroy) return 0;
    opt_call c{h, code, code & mail_opt_variant_mask, (code & mail_opt_unset) != 0, p1, p2, p3, p4};
    // Copies are made before anything is replaced, so an exhausted
    // allocator leaves the option as it was.
    try {
        return dispatch(c, id);
    } catch (const std::exception&) {
        return 0;
    }
}

void mail_set_auth_mask(mail_handle* h, uint32_t mask) {
    uint32_t f = h->flags | auth_disable_all;
    if (mask & mail_auth_cram_md5) f &= ~mail_f_no_cram_md5;
    if (mask & mail_auth_plain) f &= ~mail_f_no_plain;
    if (mask & mail_auth_login) f &= ~mail_f_no_login;
    if (mask & mail_auth_oauthbearer) f &= ~mail_f_no_oauthbearer;
    if (mask & mail_auth_xoauth2) f &= ~mail_f_no_xoauth2;
    h->flags = f;
}

int mail_set_dsn_letters(mail_handle* h, const char* letters) {
    h->flags = (h->flags & ~mail_f_dsn_mask) |
               (((letters ? addr_dsn_parse(letters) : 0) << mail_f_dsn_shift) & mail_f_dsn_mask);
    return 1;
}

}  // namespace ostrel
