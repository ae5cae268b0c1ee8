// The standard header block of every composed message, written in a fixed
// order from the handle's settings through a message writer's sink.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "message/out.hpp"

namespace ostrel {

struct mail_handle;

// Kinds of msg_write_recipients.
enum : uint32_t { msg_rcpt_to = 0x100, msg_rcpt_cc = 0x200 };

void msg_write_headers(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_recipients(uint32_t kind, mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_to(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_cc(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_date(mail_handle* h, msg_out_cb out, void* ctx);

int msg_write_subject(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_from(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_reply_to(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_message_id(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_dnt(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_priority(mail_handle* h, msg_out_cb out, void* ctx);
int msg_write_mailer(mail_handle* h, msg_out_cb out, void* ctx);

// Writes one header field (lead-in such as "Subject: " and its value) and
// its CR LF. A line that would pass mail_line_length_max octets is folded at blanks;
// a run without blanks too long for one line becomes encoded words.
void msg_write_field(msg_out_cb out, void* ctx, std::string_view lead, std::string_view value);
// Folded header text laid out again so that every line holding an encoded
// word keeps within 76 characters, its field name included; text without
// encoded words comes back as it is.
std::string msg_fit_encoded_words(const std::string& folded);

}  // namespace ostrel
