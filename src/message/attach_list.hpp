// Attachment and custom header lists, in the order of adding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/handle.hpp"

namespace ostrel {

int mime_attach_add(mime_attachment_list* list, const char* path, uint32_t encoding,
                    uint32_t is_inline, const char* content_id, const char* mime_type,
                    const char* name);
// Option 12's variant >> 8 to an encoding code: 0 → 0, 1 → 1, 2 → 4, 3 → 2.
uint32_t mime_attach_encoding_by_kind(uint32_t kind);
int msg_header_list_add(msg_header_list* list, const char* name, const char* value);
// The longest name of a custom field: the name and ": " must fit on one
// line, since a name cannot be folded.
inline constexpr size_t msg_header_name_max = mail_line_length_max - 2;
int msg_header_list_free(msg_header_list* list);

int mime_attach_list_free(mime_attachment_list* list);

}  // namespace ostrel
