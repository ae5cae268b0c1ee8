// IPv4 and IPv6 address texts, and lists of address ranges ("address/prefix")
// that map an address to a caller's value.
#pragma once

#include <cstdint>

namespace ostrel {

struct ip_cidr {
    uint8_t address[16] = {};  // network byte order; IPv4 fills the first 4 bytes
    uint8_t prefix = 0;        // leading bits that must agree, 0 to 128
    uint8_t family = 0;        // 4 or 6
    uint32_t value = 0;
    ip_cidr* next = nullptr;   // the next older entry
    ip_cidr** back = nullptr;  // the next newer entry's next; NULL for the newest
};

// The first len characters of text (0: all of it): IPv6 when they are all
// hex digits and ":" (so digits alone are IPv6), else IPv4 when they are all
// digits and ".". *family is set to 6 or 4 even when the parse then fails.
// out, or NULL (also for an empty text).
uint8_t* ip_parse_address(const char* text, unsigned len, uint8_t out[16], uint8_t* family);
// Four decimal parts separated by "."; later parts are ignored. A part over
// 255 (however large) refuses the text. out, or NULL.
uint8_t* ip_parse_ipv4(const char* text, uint8_t out[4]);
// Up to eight hex groups separated by ":", "::" for the omitted zero groups
// (the last "::" counts). A group over 16 bits, or one longer than 5
// characters before a ":", refuses the text; a ninth group is ignored unless
// a ":" follows it. out, or NULL.
uint8_t* ip_parse_ipv6(const char* text, uint8_t out[16], int len);

// Adds "address/prefix" at the head of *list. The prefix is decimal digits
// after the last "/", at most 128 (an IPv4 range over 32 never matches). 1,
// or 0 when the text is refused or no memory is left.
int ip_cidr_list_add(ip_cidr** list, const char* text, unsigned value);
// 1 when an entry of the address's family covers it: the newest such entry
// gives *value (0 otherwise); 0 when none does or the text is no address.
int ip_cidr_list_match(const ip_cidr* list, const char* text, unsigned* value);
// "a.b.c.d/p", or the IPv6 groups with the longest run of zero groups (the
// later of equals; a run at the end only when all are zero) as "::", then
// "/p"; bounded to 64 bytes. Returns buf.
char* ip_cidr_to_text(const ip_cidr* entry, char buf[64]);
// Frees every entry; 0.
int ip_cidr_list_free(ip_cidr* list);

}  // namespace ostrel
