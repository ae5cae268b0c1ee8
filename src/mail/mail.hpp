// The public interface of the mail library: option codes, the option
// interface and its actions, and global initialisation. The handle itself,
// its callbacks, events and verdicts are the data model's.
#pragma once

#include <cstdint>

#include "model/handle.hpp"

namespace ostrel {

// Option codes: id in bits 0-7, variant in bits 8-11, modifiers above.
// Constants rather than enumerators, so that they combine with an id
// without a cast.
inline constexpr uint32_t mail_opt_id_mask = 0xFF;
inline constexpr uint32_t mail_opt_variant_mask = 0xF00;
inline constexpr uint32_t mail_opt_variant_shift = 8;
inline constexpr uint32_t mail_opt_from_file = 0x1000;
inline constexpr uint32_t mail_opt_inline = mail_opt_from_file;  // the same bit, for attachments
inline constexpr uint32_t mail_opt_raw_read = 0x2000;
inline constexpr uint32_t mail_opt_unset = 0x8000;

enum : uint32_t {
    mail_opt_from = 1,
    mail_opt_recipient = 2,
    mail_opt_subject = 5,
    mail_opt_body = 6,
    mail_opt_output_file = 7,
    mail_opt_host = 8,
    mail_opt_email_file = 9,
    mail_opt_credentials = 10,
    mail_opt_oauth = 11,
    mail_opt_attachment = 12,
    mail_opt_priority = 15,
    mail_opt_reply_to = 16,
    mail_opt_html_body = 17,
    mail_opt_helo = 18,
    mail_opt_header = 19,
    mail_opt_charset = 20,
    mail_opt_line_length = 21,
    mail_opt_force_mime = 22,
    mail_opt_auth_types = 23,
    mail_opt_ip_version = 24,
    mail_opt_dsn = 25,
    mail_opt_mdn = 26,
    mail_opt_tls_mode = 27,
    mail_opt_dotstuff = 28,
    mail_opt_timeout = 29,
    mail_opt_dkim = 30,
    mail_opt_date = 32,
    mail_opt_return_path = 33,
    mail_opt_delete_header = 34,
    mail_opt_from_email_file = 35,
    mail_opt_raw_headers = 36,
    mail_opt_verify = 37,
    mail_opt_ca_path = 38,
    mail_opt_tls_ciphers = 39,
    mail_opt_tls_protocols = 40,
    mail_opt_dkim_algorithm = 41,
    mail_opt_dkim_canon = 42,
    mail_opt_dkim_default = 44,
    mail_opt_timeout_raw = 208,
    mail_opt_trace_level = 224,
    mail_opt_proxy = 225,
    mail_opt_proxy_credentials = 226,
    mail_opt_mailer = 227,
    mail_opt_message_id = 228,
    mail_opt_boundaries = 229,
    mail_act_connect = 240,
    mail_act_quit = 241,
    mail_act_send = 242,
    mail_act_deliver = 243,
    mail_act_destroy = 244,
};

// Variants, each read by its own option. The DKIM algorithms and canonical
// forms of mail_opt_dkim_algorithm and mail_opt_dkim_canon are the handle's
// own values (mail_dkim_*, mail_canon_*); mail_opt_priority takes the
// priority 1 to 5 moved up by mail_opt_variant_shift.

// mail_opt_recipient: the list; the first bit set wins.
inline constexpr uint32_t mail_v_to = 0x100;
inline constexpr uint32_t mail_v_cc = 0x200;
inline constexpr uint32_t mail_v_bcc = 0x400;
// mail_opt_body: the body's transfer encoding.
inline constexpr uint32_t mail_v_body_plain = 0x100;
inline constexpr uint32_t mail_v_body_base64 = 0x200;
inline constexpr uint32_t mail_v_body_qp = 0x400;
// mail_opt_attachment: the attachment's encoding.
inline constexpr uint32_t mail_v_attach_auto = 0x000;
inline constexpr uint32_t mail_v_attach_base64 = 0x100;
inline constexpr uint32_t mail_v_attach_qp = 0x200;
inline constexpr uint32_t mail_v_attach_uuencode = 0x300;
// mail_opt_ip_version: only one family; neither or both mean either.
inline constexpr uint32_t mail_v_ipv4 = 0x100;
inline constexpr uint32_t mail_v_ipv6 = 0x200;
// mail_opt_tls_mode.
inline constexpr uint32_t mail_v_starttls = 0x100;  // when the server offers it
inline constexpr uint32_t mail_v_tls_required = 0x200;
inline constexpr uint32_t mail_v_smtps = 0x300;  // TLS from the first byte
// mail_opt_proxy: the proxy type; neither keeps the current one.
inline constexpr uint32_t mail_v_socks5 = 0x100;
inline constexpr uint32_t mail_v_http_proxy = 0x200;

// AUTH mechanisms: the bits of mail_set_auth_mask, and the same bits moved up
// by mail_opt_variant_shift as the variant of mail_opt_auth_types, where
// XOAUTH2 takes bit 12 (the file bit of other options).
inline constexpr uint32_t mail_auth_cram_md5 = 1;
inline constexpr uint32_t mail_auth_plain = 2;
inline constexpr uint32_t mail_auth_login = 4;
inline constexpr uint32_t mail_auth_oauthbearer = 8;
inline constexpr uint32_t mail_auth_xoauth2 = 16;
inline constexpr uint32_t mail_v_auth_cram_md5 = 0x100;
inline constexpr uint32_t mail_v_auth_plain = 0x200;
inline constexpr uint32_t mail_v_auth_login = 0x400;
inline constexpr uint32_t mail_v_auth_oauthbearer = 0x800;
inline constexpr uint32_t mail_v_auth_xoauth2 = 0x1000;
inline constexpr uint32_t mail_v_auth_mask = 0x1F00;
static_assert(mail_v_auth_cram_md5 == mail_auth_cram_md5 << mail_opt_variant_shift &&
              mail_v_auth_plain == mail_auth_plain << mail_opt_variant_shift &&
              mail_v_auth_login == mail_auth_login << mail_opt_variant_shift &&
              mail_v_auth_oauthbearer == mail_auth_oauthbearer << mail_opt_variant_shift &&
              mail_v_auth_xoauth2 == mail_auth_xoauth2 << mail_opt_variant_shift);

// 1, or 0 when the lock or the generator could not be made.
int mail_global_init(int on, uint32_t seed);
int mail_set_dsn_letters(mail_handle* h, const char* letters);

int mail_setopt(mail_handle* h, uint32_t code, const char* p1 = nullptr, const char* p2 = nullptr,
                const char* p3 = nullptr);
int mail_setopt_ex(mail_handle* h, uint32_t code, const char* p1, const char* p2, const char* p3,
                   const char* p4);
void mail_set_auth_mask(mail_handle* h, uint32_t mask);

}  // namespace ostrel
