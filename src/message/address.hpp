// Recipient lists, address classes, IDN conversion, DSN flags, and the scanner
// callbacks that fill the handle from list files and message files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/lists.hpp"

namespace ostrel {

struct mail_handle;

// Adds at the head (element 0); NULL for an unusable address.
addr_node* addr_list_add(addr_list* list, const char* address, const char* name,
                         const char* dsn_letters);
int addr_list_free(addr_list* list);
uint32_t addr_dsn_parse(const char* letters);
// out holds at least 30 bytes.
char* addr_dsn_notify_text(char* out, uint32_t flags);
// True when the text holds a control byte (below 0x20, or 0x7F).
bool addr_has_control(const char* text);
// True when the whole text is one address by the rule of addr_scan_mailbox,
// at most 254 bytes long, and, when its domain is not ASCII, that domain
// converts (addr_idn_to_ascii) and the address in that form is at most 254
// bytes too: what every option and reader refuses otherwise.
bool addr_is_mailbox(const char* text);
// 0 (unusable) also for a text that is not one address (addr_is_mailbox).
uint32_t addr_classify(const char* address);
// out holds 256 bytes. An ASCII domain keeps its bytes; any other is mapped
// and checked as IDNA lookups do (UTS #46 non-transitional, IDNA2008) and
// written with A-labels. Empty labels are left out. NULL when the domain
// does not convert, or holds a code point that shows as nothing.
char* addr_idn_to_ascii(const char* domain, char* out);
// out holds 256 bytes. NULL when the address cannot be written in ASCII
// (utf8_ok 0) or its converted form does not fit.
char* addr_normalise(const char* address, char* out, uint32_t* cls, int utf8_ok);
// A display name as it goes between the double quotes of a header field:
// "\" and '"' become quoted-pairs (the enclosing quotes are the writer's).
std::string addr_quote_display_name(std::string_view name);
inline std::string addr_quote_display_name(const char* name) {
    return name ? addr_quote_display_name(std::string_view(name)) : std::string();
}

// Scanner callbacks (msg_scan_cb).
int addr_cb_list_file(void* list, const char* addr, uint32_t addr_len, const char* name,
                      uint32_t name_len);
int addr_cb_to(void* handle, const char* addr, uint32_t addr_len, const char* name,
               uint32_t name_len);
int addr_cb_cc(void* handle, const char* addr, uint32_t addr_len, const char* name,
               uint32_t name_len);
int addr_cb_bcc(void* handle, const char* addr, uint32_t addr_len, const char* name,
                uint32_t name_len);
int addr_cb_from(void* handle, const char* addr, uint32_t addr_len, const char* name,
                 uint32_t name_len);
// The prepared file's header fields: To, Cc and Bcc give the recipients, From
// the sender, each only when asked for.
int msg_cb_header(void* handle, const char* name, uint32_t name_len, const char* value,
                  uint32_t value_len);

// 1 when any recipient or the default asks for a DSN.
int addr_dsn_requested(const mail_handle* h);

}  // namespace ostrel
