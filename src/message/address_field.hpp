// The address-list header fields of a message (From, To, Cc, Bcc) read by the
// RFC 5322 grammar, obsolete forms and RFC 6532 UTF-8 included.
#pragma once

#include <cstdint>

#include "message/scan.hpp"

namespace ostrel {

// The entry of a field that is no mailbox, as it stands in the value
// (without the blanks and line breaks around it).
struct addr_field_fault {
    const char* entry = nullptr;
    uint32_t entry_len = 0;
};

// Reads the len bytes of a field value: mailboxes and groups separated by
// commas, empty elements allowed; comments, blanks and folds wherever the
// grammar lets them stand; an obsolete route is dropped; a group gives its
// members. Each mailbox goes to cb as its addr-spec without comments and
// blanks (a, a_len; not in the value, valid only during the call), which has
// passed addr_is_mailbox. The display name of a name-addr comes as one
// quoted string (b, b_len) whose enclosing quotes the recipient callbacks
// drop: inside them it is decoded (quoted-pairs resolved, folds and comments
// gone, nothing escaped); an addr-spec alone has b NULL.
// Returns 1 when every element was read. An entry that is no mailbox, or
// that cb refuses (result 0), ends the reading: the result is 0 and *fault
// (when given) names it; the mailboxes before it stay reported. Nothing
// past value + len is read.
int addr_read_field(void* ctx, const char* value, uint32_t len, msg_scan_cb cb,
                    addr_field_fault* fault);

}  // namespace ostrel
