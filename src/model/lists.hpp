// The list entries a mail handle keeps: recipients, attachments, header fields.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

// One recipient.
struct addr_node {
    std::string address;              // unchanged
    std::optional<std::string> name;  // display name, encoded word when it needs one
    uint32_t dsn_flags = 0;           // 1 NEVER, 2 SUCCESS, 4 FAILURE, 8 DELAY; 0: the default
};
// Recipients are added at the head: element 0 is the NEWEST entry, and
// everything written from a list (RCPT TO, To and Cc fields) runs from it.
// A deque, so that adding at the head stays cheap for long list files.
using addr_list = std::deque<addr_node>;

// Attachment encoding codes.
enum : uint32_t {
    mime_enc_auto = 0,
    mime_enc_base64 = 1,
    mime_enc_uuencode = 2,
    mime_enc_yenc = 3,
    mime_enc_qp = 4,
    mime_enc_7bit = 5,
};

// One file to attach.
struct mime_attachment {
    std::string path;                       // UTF-8
    std::string display_name;               // given name or base name, encoded when needed
    std::optional<std::string> content_id;  // NULL when none or ""
    std::optional<std::string> mime_type;   // NULL when none or ""
    std::optional<std::string> given_name;
    uint32_t encoding = mime_enc_auto;
    uint32_t is_inline = 0;  // nonzero: part of multipart/related
};
// Attachments and header fields are kept in the ORDER OF ADDING: element 0 is
// the oldest, which is the order every writer emits them in.
using mime_attachment_list = std::vector<mime_attachment>;

// One header field (or, in the removal list, a name with an empty value).
struct msg_header_node {
    std::string name;
    std::string value;
};
using msg_header_list = std::vector<msg_header_node>;

// A caller-owned raw MIME text that the composer writes unchanged.
struct mail_raw_part {
    const char* text = nullptr;
    uint64_t length = 0;
};

}  // namespace ostrel
