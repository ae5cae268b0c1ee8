// Prepared message files: a message made beforehand (by File mode or another
// program) sent with the handle's header fields in front of its own, the
// fields to drop left out and the custom fields added, dot-stuffed for the
// wire through the stream filter.
#pragma once

#include <string>

#include "message/out.hpp"

namespace ostrel {

struct mail_handle;

// Why a prepared file cannot be sent.
enum : int {
    msg_email_file_ok = 0,
    msg_email_file_unreadable = 1,  // missing, unreadable, empty, not a regular file
    msg_email_file_nul = 2,         // holds a NUL byte: its text would be cut there
    msg_email_file_unsigned = 3,    // a DKIM signature could not be made (last_error says which)
    msg_email_file_changed = 4,     // changed while it was read, or since it was checked
};

// Whether the handle's email_file can be sent whole; a msg_email_file_ value.
// A caller checks before the transaction starts, so that nothing of a message
// that cannot go out whole is sent. The first check that finds it sendable
// keeps its stamp in the handle: from then on every read of it, later checks
// and the writer, fails as changed when the file is not in that state (its
// fields may have been taken from it), until email_file is set again.
int msg_check_email_file(mail_handle* h);
// The header block of the handle's email_file into *text, its lines with
// their ends as they stand there, up to and without the empty line; read
// from the state that was found sendable. A msg_email_file_ value.
int msg_read_email_file_header(mail_handle* h, std::string* text);
// The failure text of a msg_email_file_ value (without the file's name).
const char* msg_email_file_fault_text(int fault);

// Writes the prepared message, dot-stuffed, and one empty line after it.
// The file's Bcc field is never written. The file is read in blocks while it
// is written; the result is 0, with *fault (when given) saying why:
// 1. When the file cannot be opened (see msg_check_email_file), nothing at
// all is written.
// 2. When it changes while it is read, or a block cannot be read, what came
// before has been written: the caller must not end that message.
// 3. With signing on, the unstuffed text is signed and the fields go in
// front (a file without an empty line is signed with the empty line after
// it, over an empty body); when the file cannot be read whole or a signature
// cannot be made, nothing is written.
int msg_write_email_file(mail_handle* h, msg_out_cb out, void* ctx, int* fault = nullptr);

}  // namespace ostrel
