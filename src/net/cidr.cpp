#include "net/cidr.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "support/date.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

constexpr const char* ipv6_chars = ":0123456789abcdefABCDEF";
constexpr const char* ipv4_chars = ".0123456789";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The leading hex digits of [p, end), as strtoul reads them, saturated
// beyond 32 bits.
uint32_t hex_prefix(const char* p, const char* end) {
    uint32_t v = 0;
    for (; p < end && hex_value(*p) >= 0; ++p)
        v = v > 0xFFFFFFFu ? 0xFFFFFFFFu : (v << 4) | hex_value(*p);
    return v;
}

}  // namespace

uint8_t* ip_parse_ipv4(const char* text, uint8_t out[4]) {
    const char* save = text;
    uint32_t len = 0;
    uint8_t parts[4];
    for (int i = 0; i < 4; ++i) {
        const char* token = str_token_quoted(i ? nullptr : text, ".", '\0', &save, &len);
        if (!token) return nullptr;
        errno = 0;
        unsigned long v = std::strtoul(token, nullptr, 10);
        // Unsigned: a huge part must not wrap round into 0 to 255.
        if (v > 255) return nullptr;
        parts[i] = static_cast<uint8_t>(v);
    }
    std::memcpy(out, parts, 4);
    return out;
}

uint8_t* ip_parse_ipv6(const char* text, uint8_t out[16], int len) {
    if (len < 0) return nullptr;
    const char* p = text;
    const char* const end = text + len;
    uint16_t groups[8] = {};
    int n = 0, gap = -1;
    for (;;) {
        const char* start = p;
        while (p < end && *p != ':') ++p;
        const bool colon = p < end;
        // The empty group between the colons of "::" marks the gap.
        if (start == p && start > text && start[-1] == ':' && colon) {
            gap = n;
        } else {
            if (colon && p - start > 5) return nullptr;
            uint32_t v = hex_prefix(start, p);
            if (v > 0xFFFF) return nullptr;
            if (n < 8)
                groups[n++] = static_cast<uint16_t>(v);
            else if (colon)
                return nullptr;  // a ninth group followed by more
        }
        if (!colon) break;
        ++p;
    }
    uint16_t full[8] = {};
    if (gap >= 0) {
        for (int i = 0; i < gap; ++i) full[i] = groups[i];
        for (int i = gap; i < n; ++i) full[8 - (n - i)] = groups[i];
    } else {
        std::memcpy(full, groups, sizeof full);
    }
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<uint8_t>(full[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(full[i] & 0xFF);
    }
    return out;
}

uint8_t* ip_parse_address(const char* text, unsigned len, uint8_t out[16], uint8_t* family) {
    if (!text) return nullptr;
    if (len == 0) len = static_cast<unsigned>(std::strlen(text));
    const std::string part(text, strnlen(text, len));
    const int n = static_cast<int>(part.size());
    // Every character of an empty text is in both sets; it is no address.
    if (n == 0) return nullptr;
    if (str_span_charset(part.c_str(), ipv6_chars, n)) {
        *family = 6;
        return ip_parse_ipv6(part.c_str(), out, n);
    }
    if (str_span_charset(part.c_str(), ipv4_chars, n)) {
        *family = 4;
        return ip_parse_ipv4(part.c_str(), out) ? out : nullptr;
    }
    return nullptr;
}

int ip_cidr_list_add(ip_cidr** list, const char* text, unsigned value) {
    if (!list || !text) return 0;
    const char* slash = std::strrchr(text, '/');
    if (!slash) return 0;
    // A prefix without digits would read as 0 and cover every address.
    char* stop = nullptr;
    errno = 0;
    unsigned long prefix = std::strtoul(slash + 1, &stop, 10);
    if (stop == slash + 1 || prefix > 128) return 0;
    uint8_t address[16] = {}, family = 0;
    const unsigned addr_len = slash == text ? 0 : static_cast<unsigned>(slash - text);
    if (!ip_parse_address(text, addr_len, address, &family)) return 0;
    std::unique_ptr<ip_cidr> owned;
    try {
        owned = std::make_unique<ip_cidr>();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    ip_cidr* entry = owned.release();
    std::memcpy(entry->address, address, sizeof address);
    entry->prefix = static_cast<uint8_t>(prefix);
    entry->family = family;
    entry->value = value;
    entry->next = *list;
    if (*list) (*list)->back = &entry->next;
    *list = entry;
    return 1;
}

int ip_cidr_list_match(const ip_cidr* list, const char* text, unsigned* value) {
    if (value) *value = 0;
    uint8_t address[16] = {}, family = 0;
    if (!text || !ip_parse_address(text, 0, address, &family)) return 0;
    const int bits = family == 4 ? 32 : 128;
    for (const ip_cidr* e = list; e; e = e->next) {
        if (e->family != family) continue;
        int same = 0;
        while (same < bits &&
               ((e->address[same / 8] ^ address[same / 8]) & (0x80 >> (same % 8))) == 0)
            ++same;
        if (same >= e->prefix) {
            if (value) *value = e->value;
            return 1;
        }
    }
    return 0;
}

char* ip_cidr_to_text(const ip_cidr* entry, char buf[64]) {
    constexpr size_t size = 64;
    buf[0] = '\0';
    char part[16];
    if (entry->family == 4) {
        str_sprintf(buf, size, "%d.%d.%d.%d/%d", entry->address[0], entry->address[1],
                    entry->address[2], entry->address[3], entry->prefix);
        return buf;
    }
    int g[8];
    for (int i = 0; i < 8; ++i) g[i] = (entry->address[2 * i] << 8) | entry->address[2 * i + 1];
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j < 8 && j - i >= best_len) {
            best = i;
            best_len = j - i;
        }
        if (i == 0 && j == 8) {
            best = 0;
            best_len = 8;
        }
        i = j;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            str_append(buf, "::", size);
            i += best_len - 1;
            continue;
        }
        // No ":" right after the "::".
        const bool after_gap = best >= 0 && i == best + best_len;
        str_sprintf(part, sizeof part, (i == 0 || after_gap) ? "%x" : ":%x", g[i]);
        str_append(buf, part, size);
    }
    str_sprintf(part, sizeof part, "/%d", entry->prefix);
    str_append(buf, part, size);
    return buf;
}

int ip_cidr_list_free(ip_cidr* list) {
    while (list) {
        std::unique_ptr<ip_cidr> entry(list);
        list = list->next;
    }
    return 0;
}

}  // namespace ostrel
