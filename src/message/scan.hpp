// One-pass scanners over mail text: recipient-list files, address header
// values and the header block of a prepared message file.
#pragma once

#include <cstdint>

namespace ostrel {

// a/b point into the scanned text and are not terminated. For the address
// scanners a is the address and b the display name (NULL for a bare address);
// for the header scanner a is the field name and b its value.
using msg_scan_cb = int (*)(void* ctx, const char* a, uint32_t a_len, const char* b,
                            uint32_t b_len);

// The one address rule of every reader: a local part (a dot-atom, or a quoted
// string without "@"), "@", and a domain (labels joined by single dots, or
// an address literal in brackets); visible UTF-8 characters may stand in
// both parts, never a code point that shows as nothing (uni_is_invisible),
// and the full stops U+3002, U+FF0E and U+FF61 part labels as "." does.
// Returns the first byte after the longest such address at p, or NULL when
// none starts there. Blanks, "<", ">", ",", ";", "(" and ")" end it outside
// the quotes. addr_is_mailbox adds the length and the domain's conversion.
const char* addr_scan_mailbox(const char* p);

// Stops silently at the first byte that fits no entry. The second form also
// tells where the scan ended: the terminating NUL after a whole text.
int addr_scan_list_file(void* ctx, const char* text, msg_scan_cb cb);
int addr_scan_list_file(void* ctx, const char* text, msg_scan_cb cb, const char** stopped_at);
// The header field value at text, up to the first line end that no blank
// follows, read as addr_read_field does (address_field.hpp). 1 for a NULL
// text, else 0.
int addr_scan_header_list(void* ctx, const char* text, msg_scan_cb cb);
// The header block up to its empty line or the end of the text: each field
// (a name of printable bytes but ":", blanks, ":") goes to cb as its name and
// its value without the blanks after the colon, folds included. Lines end
// at LF, CR LF or a lone CR, as the message goes out. A line that is no field
// and does not continue one, or a field cb refuses (result 0), ends the scan
// there: the second form tells where (the start of that line), or NULL
// when the block was read whole. Returns 1.
int msg_scan_headers(void* ctx, const char* text, msg_scan_cb cb);
int msg_scan_headers(void* ctx, const char* text, msg_scan_cb cb, const char** stopped_at);
// malloc'd copy of at most n bytes without folding line breaks; the caller frees it.
char* msg_unfold_value(const char* text, uint32_t n);

}  // namespace ostrel
