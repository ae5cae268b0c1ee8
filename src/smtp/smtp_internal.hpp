// Helpers shared by the parts of the SMTP client.
#pragma once

#include "model/handle.hpp"

namespace ostrel::smtp_detail {

// The name of a wait that ran out of time, at any step.
inline constexpr const char* smtp_timed_out_text = "Timed out";

// ip_disconnect and free the connection, clear the connected flag.
void close_conn(mail_handle* h);
// A reply could not be read: clears the connected flag and names the loss
// in last_error (reason, else "Timed out" when time ran out, else the
// connection's own error text, else "Disconnected").
void note_lost(mail_handle* h, const char* reason);
// last_error, or "Disconnected" without one.
const char* error_or_disconnected(const mail_handle* h);
// A line whose fourth character is not "-" ends its reply.
bool is_last_line(const char* line);
using line_fn = void (*)(void* ctx, const char* line);
// Reads the lines of one reply, each handed to fn (when given), *line at
// each in turn; the last line, or NULL when the reply could not be read
// whole in time (then the loss is noted unless name_loss is false).
char* read_reply_lines(mail_handle* h, char** line, line_fn fn, void* ctx, bool name_loss = true);
// reply_code and reply_line from a reply's last line.
void set_reply(mail_handle* h, const char* last);

}  // namespace ostrel::smtp_detail
