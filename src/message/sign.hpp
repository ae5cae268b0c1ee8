// DKIM signing of a rendered message, as every message writer does it: the
// key record of the sender's domain, then one signature for each canonical
// form and algorithm the handle asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "message/out.hpp"

namespace ostrel {

struct mail_handle;
struct dkim_domain;

// The key record that signs a message of this handle: with signing on, the
// record of the From address's domain, else of the default domain (both
// looked up in their A-label form); NULL when nothing signs.
const dkim_domain* msg_dkim_record(const mail_handle* h);

// Signs the rendered message, given as it will be sent but before any
// dot-stuffing, by pointer and length (NUL bytes are content). Stores the
// mask defaults in the handle when a mask is 0. Returns 1 with the fields
// appended to *fields, in the order canonical form 1, 2, 4, 8 and within it
// algorithm 1, 2, 4; they go in front of the message. Returns 0 when a
// signature that has a key could not be made, and when no algorithm asked
// for has a key in the record: *error then holds the text and nothing may
// be sent. sign_time below 0 is the current time.
int msg_dkim_sign(mail_handle* h, const dkim_domain* record, const char* bytes, size_t len,
                  std::string* fields, std::string* error, int64_t sign_time = -1);

// The last step of every writer's signing pass: signs the message the writer
// rendered, unstuffed, into *buf and writes the fields, then the text, to
// out. *buf is released on every path. A buffer that failed to grow throws
// std::bad_alloc (a message with a hole is never signed or sent); a signature
// that cannot be made returns 0 with nothing written and *error and
// last_error set.
int msg_dkim_write_signed(mail_handle* h, const dkim_domain* record, str_buf* buf, msg_out_cb out,
                          void* ctx, std::string* error);

}  // namespace ostrel
