// The MIME composer: one configured mail handle rendered as a complete
// Internet message (header block, custom fields, text and HTML bodies, inline
// images and attachments) through a message writer's sink.
#pragma once

#include "message/attach_writer.hpp"
#include "message/out.hpp"

namespace ostrel {

struct mail_handle;

// Writes the message and returns 1; 0 when a DKIM signature that has a key
// could not be made: then nothing was written, and the text is the last
// error (and in status->signing_failed). Input files that cannot be opened are
// reported as event 9 and left out; a read error inside one ends the process
// with status 12.
int mime_compose(mail_handle* h, msg_out_cb out, void* ctx);
// The same, but input files that cannot be opened or read are noted in
// *status (and reported as event 9) instead of ending the process, so that
// the caller can throw the incomplete output away.
int mime_compose_ex(mail_handle* h, msg_out_cb out, void* ctx, mime_input_status* status);

}  // namespace ostrel
