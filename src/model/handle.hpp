// The mail data model: the handle that holds one message with its settings,
// flags, callbacks, events and verdicts, and the process-wide token state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "model/lists.hpp"
#include "platform/file_map.hpp"

namespace ostrel {

struct ip_conn;
struct dkim_domain;
struct lock_mutex;
struct rand_mt_state;

using mail_trace_cb = int (*)(void* user, int direction, const char* text);
using mail_event_cb = int (*)(void* user, int event, int status, const char* text);
using mail_recipient_cb = int (*)(void* user, int selector, char** address, char** name,
                                  char** parameter);

// Modes.
enum : uint32_t { mail_mode_smtp = 1, mail_mode_file = 2, mail_mode_email_file = 4 };

// Bits of mail_handle::flags.
enum : uint32_t {
    mail_f_cram_md5 = 1u << 0,
    mail_f_authenticated = 1u << 1,
    mail_f_login = 1u << 2,
    mail_f_plain = 1u << 3,
    mail_f_oauthbearer = 1u << 4,
    mail_f_xoauth2 = 1u << 5,
    mail_f_connected = 1u << 6,
    mail_f_body_enc_shift = 7,  // bits 7-8: the body's transfer encoding, a mail_body_enc value
    mail_f_body_enc_mask = 3u << 7,
    mail_f_body_base64 = 1u << 7,
    mail_f_body_qp = 1u << 8,
    mail_f_dsn = 1u << 9,
    mail_f_dsn_shift = 10,  // bits 10-13: default DSN NOTIFY flags
    mail_f_dsn_mask = 0xFu << 10,
    mail_f_esmtp = 1u << 14,
    mail_f_raw_headers = 1u << 15,
    mail_f_force_mime = 1u << 16,
    mail_f_dotstuff_file = 1u << 17,
    mail_f_mdn = 1u << 18,
    mail_f_no_cram_md5 = 1u << 19,
    mail_f_no_login = 1u << 20,
    mail_f_no_plain = 1u << 21,
    mail_f_no_oauthbearer = 1u << 22,
    mail_f_no_xoauth2 = 1u << 23,
    mail_f_oauth = 1u << 24,
    mail_f_smtps = 1u << 26,
    mail_f_starttls = 1u << 28,
    mail_f_tls_required = 1u << 29,
    mail_f_starttls_wanted = 1u << 30,
    mail_f_verify = 1u << 31,
};

// Bits of mail_handle::flags2.
enum : uint32_t {
    mail_f2_dotstuff = 1u << 0,
    mail_f2_html_file = 1u << 1,
    mail_f2_body_file = 1u << 2,
    mail_f2_smtputf8 = 1u << 3,
    mail_f2_trace_shift = 4,  // bits 4-5: trace level
    mail_f2_trace_mask = 3u << 4,
    mail_f2_take_rcpts = 1u << 6,
    mail_f2_take_from = 1u << 7,
    mail_f2_dkim = 1u << 8,
};

// The body's transfer encoding: (flags & mail_f_body_enc_mask) >> mail_f_body_enc_shift.
enum : uint32_t { mail_body_enc_none = 0, mail_body_enc_base64 = 1, mail_body_enc_qp = 2 };

// Bounds of a line, CR LF not counted: line_length's default and least
// value, and the longest line a message may hold at all.
inline constexpr uint32_t mail_line_length_min = 78;
inline constexpr uint32_t mail_line_length_max = 998;

// Values of mail_handle::priority, 1 to 5; 0 writes no X-Priority field.
enum : uint32_t { mail_priority_highest = 1, mail_priority_normal = 3, mail_priority_lowest = 5 };

// Values of mail_handle::proxy_type.
enum : uint32_t { mail_proxy_socks5 = 0, mail_proxy_http = 1 };

// DKIM algorithms, ORed into mail_handle::dkim_algos, and canonical forms
// (header/body) for mail_handle::dkim_canon; 0 in either means the default.
// They are also the variants of the options that set them.
inline constexpr uint16_t mail_dkim_rsa_sha1 = 0x100;
inline constexpr uint16_t mail_dkim_rsa_sha256 = 0x200;
inline constexpr uint16_t mail_dkim_ed25519_sha256 = 0x400;
inline constexpr uint16_t mail_dkim_best = 0x600;  // rsa-sha256 and ed25519-sha256: the default
inline constexpr uint16_t mail_dkim_all = 0x700;
inline constexpr uint16_t mail_canon_simple_simple = 0x100;
inline constexpr uint16_t mail_canon_simple_relaxed = 0x200;
inline constexpr uint16_t mail_canon_relaxed_relaxed = 0x400;
inline constexpr uint16_t mail_canon_relaxed_simple = 0x800;
inline constexpr uint16_t mail_canon_all = 0xF00;

// One message, its settings, its callbacks and at most one SMTP connection.
// Texts that may be NULL are optionals; the handle owns every text and list.
struct mail_handle {
    ip_conn* conn = nullptr;  // released by the SMTP client
    int64_t msg_time = 0;     // 0: now
    uint32_t mode = mail_mode_smtp;
    uint32_t flags = 0;
    uint32_t flags2 = 0;
    uint16_t dkim_algos = 0;  // mail_dkim_* bits
    uint16_t dkim_canon = 0;  // mail_canon_* bits
    uint32_t line_length = mail_line_length_min;
    std::string conversation_token;
    std::string message_token;
    mail_trace_cb trace_cb = nullptr;
    mail_event_cb event_cb = nullptr;  // set to mail_event_noop by mail_create
    mail_recipient_cb recipient_cb = nullptr;
    uint32_t family = 0;  // 0 either, 4, 6
    uint32_t port = 0;
    uint32_t priority = 0;
    uint32_t proxy_port = 0;
    uint32_t proxy_type = mail_proxy_socks5;
    int32_t timeout = 0;  // seconds; 0: the connection's default
    int32_t reply_code = 0;
    // The run's status when a delivery failed for a reason of its own rather
    // than a server's reply (10: an input file could not be used); 0 otherwise.
    int32_t send_status = 0;
    std::optional<std::string> charset, dsn_envid, email_file, output_file, from_addr, from_name,
        return_path, helo, host, html_body, last_error, reply_line, body, password, proxy_host,
        proxy_password, proxy_user, reply_to_addr, reply_to_name, kept_reply, subject, tls_ciphers,
        tls_protocols, user, mailer, boundary_mixed, boundary_alt, boundary_related;
    // The state of email_file when it was first found sendable (and its
    // fields perhaps taken): what is sent must be that file as it was then.
    // Cleared when email_file is set.
    std::optional<plat_file_stamp> email_file_stamp;
    std::string message_id;  // with its angle brackets; at most 511 bytes
    mime_attachment_list attachments;
    msg_header_list headers;
    msg_header_list removed_headers;
    addr_list bcc, cc, to;
    const mail_raw_part* raw_part = nullptr;
    const mail_raw_part* raw_inline_part = nullptr;
    void* trace_user = nullptr;
    void* event_user = nullptr;
    void* recipient_user = nullptr;
    dkim_domain* dkim_keys = nullptr;  // not owned
    std::optional<std::string> dkim_default;
};

inline constexpr size_t mail_message_id_size = 512;

// Events and their statuses.
enum : int {
    mail_ev_connect = 1,
    mail_ev_hello = 2,
    mail_ev_starttls = 3,
    mail_ev_auth = 4,
    mail_ev_ready = 5,
    mail_ev_mail_from = 6,
    mail_ev_rcpt = 7,
    mail_ev_no_recipients = 8,
    mail_ev_attachment = 9,
    mail_ev_data = 10,
    mail_ev_disconnect = 11,
    mail_ev_rcpt_utf8 = 12,
    mail_ev_message_check = 255,
};
enum : int { mail_status_ok = 1, mail_status_failed = 2, mail_status_fatal = 4 };

// Verdicts of the event callback.
enum : int {
    mail_verdict_continue = 0,
    mail_verdict_stop = 1,
    mail_verdict_reset = 2,
    mail_verdict_quit = 4,
};

// Callback kinds of mail_set_callback.
enum : int { mail_cb_trace = 1, mail_cb_event = 2, mail_cb_recipient = 3 };

mail_handle* mail_create();
int mail_destroy(mail_handle* h);
// fn is one of the three callback types, cast to mail_any_cb; kind says which.
using mail_any_cb = void (*)();
int mail_set_callback(mail_handle* h, int kind, mail_any_cb fn, void* user);
int mail_event_noop(void* user, int event, int status, const char* text);
// Replaces the handle's last error text (NULL clears it).
void mail_set_error_text(mail_handle* h, std::optional<std::string> text);
// The same with a text formatted by the runtime's printf, without a length
// limit. Every writer of the last error text goes through these two.
void mail_set_error_printf(mail_handle* h, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// last_error, or "" when there is none; the text belongs to the handle.
const char* mail_last_error(const mail_handle* h);

// Process-wide state behind unique tokens: guarded by mail_global_lock.
extern lock_mutex* mail_global_lock;
extern rand_mt_state* mail_rand_state;
extern uint32_t mail_token_counter;

}  // namespace ostrel
