// The SMTP client: the conversation with a server over the handle's one
// connection. The frame (replies, RSET, QUIT, closing, verdicts), the
// opening (connect, greeting, EHLO, STARTTLS), authentication and the mail
// transaction. Commands go out one at a time; every step reports an event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/lists.hpp"

namespace ostrel {

struct mail_handle;

// A reply longer than this many lines is a failed read: a server that sends
// continuation lines without end must not hold the client.
inline constexpr int smtp_reply_max_lines = 1000;

// The run's status when the message could not be sent whole because an
// input file (attachment, HTML body, prepared file) could not be used.
inline constexpr int smtp_status_input_unusable = 10;

// Keep rules of smtp_read_reply.
enum : int { smtp_keep_always = 1, smtp_keep_refused = 2 };

// Bits of the allowed argument of smtp_apply_verdict.
enum : int { smtp_allow_rset = 1, smtp_allow_quit = 2 };

// The next line of the conversation (inside the connection's buffer, valid
// until the next read); NULL clears the handle's connected flag.
char* smtp_read_line(mail_handle* h);
// Reads one whole reply. want / divisor when its code divided by divisor
// matches, else 0; 0 with the connected flag cleared when the reply could
// not be read (closed, time-out, too long). *line ends at the reply's last
// line (NULL when lost).
int smtp_read_reply(mail_handle* h, int want, int divisor, char** line, int keep);
int smtp_read_reply_exact(mail_handle* h, int want, char** line, int keep);
// Event 11 status 4 and the connection closed without QUIT; 0.
int smtp_drop_connection(mail_handle* h);
// 1 when RSET got 250.
int smtp_rset(mail_handle* h);
// 0 when QUIT got 221, else 1; the connection stays for the caller to close.
int smtp_quit(mail_handle* h);
// QUIT when connected, close, event 11 with status when it is not 0.
// 0 when there was no connection.
int smtp_close(mail_handle* h, int status);
// Verdict 4 (with smtp_allow_quit) QUITs and closes, verdict 2 (with
// smtp_allow_rset) sends RSET; 1 when the verdict was acted on.
int smtp_apply_verdict(mail_handle* h, int verdict, int allowed);
// Raises an event through the handle's callback; the verdict.
int smtp_event(mail_handle* h, int event, int status, const char* text);

// One line of an EHLO reply: sets the capability bits it announces
// (mechanisms only with a user set, and only those allowed); *starttls
// becomes true when the line offers STARTTLS.
void smtp_ehlo_scan_line(mail_handle* h, const char* line, bool* starttls);
// EHLO (extended) or HELO with the HELO name or the address literal; the
// code of the reply, 0 when the connection was lost (reported, closed).
int smtp_hello(mail_handle* h, int extended, char** line);
// The EHLO argument when no HELO name is set: "[192.0.2.7]",
// "[IPv6:0:0:0:0:0:0:0:1]", "[]" when the local address is unknown.
std::string smtp_address_literal(const char* local_address);
// 1 when the conversation is ready for a message.
int smtp_open_session(mail_handle* h);

// Mechanisms in the order of choice.
enum : int {
    smtp_mech_none = 0,
    smtp_mech_oauthbearer,
    smtp_mech_xoauth2,
    smtp_mech_cram_md5,
    smtp_mech_plain,
    smtp_mech_login,
};
// The mechanism the handle's flags choose (offered and allowed), or none.
int smtp_auth_choose(uint32_t flags);
// The authentication stage: event 4 and its verdict; 0 when a verdict 4
// closed the conversation, else 1 (authenticated or not).
int smtp_authenticate(mail_handle* h);
// The CRAM-MD5 response before base64: user, blank, hex HMAC-MD5.
std::string smtp_cram_md5_response(const std::string& user, const std::string& password,
                                   std::string_view challenge);

// RFC 3461 xtext: "+" and two upper-case hex digits for every byte outside
// "!" to "~" and for "+" and "=".
std::string smtp_xtext(std::string_view text);
// The DSN parameter of MAIL FROM (" RET=HDRS ENVID=..." or ""); envid is
// the envelope id to send when DSN is asked.
std::string smtp_mail_dsn_param(const mail_handle* h, const std::string& envid);
// True when DSN is asked: the server offers it and some flags are set.
bool smtp_dsn_asked(const mail_handle* h);
// True when MAIL FROM carries SMTPUTF8: the server announced it and a
// non-ASCII address goes out (always with a recipient callback).
bool smtp_wants_smtputf8(const mail_handle* h);
// 1 when the server accepted the message after the final dot.
int smtp_send_message(mail_handle* h);
// 0 when the connection was lost (reported), else 1.
int smtp_send_rcpt_list(mail_handle* h, const addr_list* list, const char* default_param,
                        uint32_t* accepted, int* verdict);

// The protocol name of the results ("ESMTPSA" and the like) from the bits
// of mail_connection_info: 1 ESMTP, 2 STARTTLS, 4 TLS from the first byte,
// 8 authenticated.
const char* smtp_protocol_name(uint32_t flags);

}  // namespace ostrel
