// Ready-made MIME texts handed to the composer, and the handle's attachments
// rendered as MIME body parts into a stream or a new file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "model/lists.hpp"

namespace ostrel {

struct mail_handle;

// Points raw_part (is_inline 0) or raw_inline_part at part; a NULL part or
// one of length 0 clears the field. The caller keeps the record alive.
int mail_set_raw_part(mail_handle* h, const mail_raw_part* part, int is_inline);
// The attachment writer with the program's printf engine on a stream.
int mime_write_attachments_stream(mail_handle* h, uint32_t is_inline, const char* boundary,
                                  FILE* stream, int lone);
// Needs boundary_mixed and boundary_related (else 0).
int mime_write_attachments_file(mail_handle* h, uint32_t is_inline, FILE* stream);
// As mime_write_attachments_file into a new file, removed again when the
// result is below 1; -1 when the file cannot be made.
int mime_save_attachments(mail_handle* h, uint32_t is_inline, const char* path);

}  // namespace ostrel
