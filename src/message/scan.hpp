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

// Stops silently at the first byte that fits no entry. The second form also
// tells where the scan ended: the terminating NUL after a whole text.
int addr_scan_list_file(void* ctx, const char* text, msg_scan_cb cb);
int addr_scan_list_file(void* ctx, const char* text, msg_scan_cb cb, const char** stopped_at);
int addr_scan_header_list(void* ctx, const char* text, msg_scan_cb cb);
int msg_scan_headers(void* ctx, const char* text, msg_scan_cb cb);
// malloc'd copy of at most n bytes without folding line breaks; the caller frees it.
char* msg_unfold_value(const char* text, uint32_t n);

}  // namespace ostrel
