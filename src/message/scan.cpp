// One-pass scanners over mail text. Address bytes are classified through one
// table; the scanners keep their marks in locals, so a callback may start
// another scan (the header scanner's callback reads the address fields).
#include "message/scan.hpp"

#include <array>
#include <cstdlib>
#include <cstring>

#include "message/address_field.hpp"
#include "support/unicode.hpp"
#include "support/utf8.hpp"

namespace ostrel {
namespace {

enum : uint8_t {
    k_blank = 1,  // SP, HT
    k_local = 2,  // may stand in the local part of an address
    k_name = 4,   // may stand in an unquoted display name
    k_label = 8,  // may stand in a domain label
};

constexpr std::array<uint8_t, 256> make_classes() {
    std::array<uint8_t, 256> t{};
    t[' '] = t['\t'] = k_blank;
    for (int c = 0; c < 256; ++c) {
        bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alnum) t[c] = k_local | k_name | k_label;
    }
    // The local part takes every atext byte, "'" included, and the dot.
    for (const char* s = "!#$%&'*+-/=?^_`{|}~."; *s; ++s)
        t[static_cast<uint8_t>(*s)] |= k_local | k_name;
    t['-'] |= k_label;
    t[','] |= k_name;
    return t;
}

constexpr std::array<uint8_t, 256> classes = make_classes();

inline uint8_t cls(const char* p) {
    return classes[static_cast<uint8_t>(*p)];
}
inline bool is_blank(const char* p) {
    return cls(p) & k_blank;
}
inline bool is_label(const char* p) {
    return cls(p) & k_label;
}

// Length of the line end at p: LF, CR LF, or 0.
inline int line_end_len(const char* p) {
    if (*p == '\n') return 1;
    if (*p == '\r' && p[1] == '\n') return 2;
    return 0;
}

struct entry {
    const char* addr = nullptr;
    uint32_t addr_len = 0;
    const char* name = nullptr;  // NULL for a bare address
    uint32_t name_len = 0;
};

// A visible UTF-8 character of two to four bytes at p (what SMTPUTF8 adds
// to the local part and the domain, U+2019 in names pasted into lists among
// them): its length, or 0. A code point that shows as nothing (a no-break
// space, a zero-width or bidirectional mark, a C1 control, a noncharacter)
// would make an address other than the one the reader sees, so it is none.
// Reads nothing past the NUL.
size_t utf8_char_at(const char* p) {
    if (static_cast<uint8_t>(*p) < 0x80) return 0;
    char32_t cp = 0;
    size_t n = utf8_decode(reinterpret_cast<const unsigned char*>(p), strnlen(p, 4), &cp);
    return n && !uni_is_invisible(cp) ? n : 0;
}

// The length of a label separator at p: ".", or one of the full stops that
// domain name mapping takes for it (U+3002, U+FF0E, U+FF61); else 0.
size_t domain_dot_at(const char* p) {
    if (*p == '.') return 1;
    for (const char* stop : {"\xE3\x80\x82", "\xEF\xBC\x8E", "\xEF\xBD\xA1"})
        if (std::strncmp(p, stop, 3) == 0) return 3;
    return 0;
}

// A dot-atom local part; like the list files always did, its dots may stand
// anywhere. Returns the first byte after it, or NULL when there is none.
const char* read_dot_atom(const char* p) {
    const char* start = p;
    for (;;) {
        if (cls(p) & k_local) {
            ++p;
        } else if (size_t n = utf8_char_at(p)) {
            p += n;
        } else {
            return p == start ? nullptr : p;
        }
    }
}

// A quoted local part: printable ASCII, quoted-pairs and UTF-8 between
// double quotes. No "@": every reader of an address takes its domain after
// the first one. Returns the byte after the closing quote, or NULL.
const char* read_quoted_local(const char* p) {
    const char* start = p;
    for (++p;; ++p) {
        const auto b = static_cast<uint8_t>(*p);
        if (b == '"') return p - start > 1 ? p + 1 : nullptr;  // "" names nobody
        if (b == '\\' && p[1] >= 0x20 && p[1] <= 0x7E && p[1] != '@') {
            ++p;  // a quoted-pair; p[1] is at most the NUL
        } else if (size_t n = utf8_char_at(p)) {
            p += n - 1;
        } else if (b < 0x20 || b > 0x7E || b == '@') {
            return nullptr;  // the end of the text included
        }
    }
}

// Labels joined by single dots, starting at p (just after "@"). Returns the
// first byte after the domain, or NULL when there is no domain there.
const char* read_domain(const char* p) {
    for (;;) {
        const char* label = p;
        for (;;) {
            if (is_label(p))
                ++p;
            else if (domain_dot_at(p))
                break;
            else if (size_t n = utf8_char_at(p))
                p += n;
            else
                break;
        }
        if (p == label) return nullptr;  // empty label, or a trailing dot
        size_t dot = domain_dot_at(p);
        if (!dot) return p;
        p += dot;
    }
}

// An address literal, "[" to "]": IPv4, "IPv6:" and tagged forms use only
// letters, digits, ".", ":" and "-".
const char* read_literal(const char* p) {
    const char* start = ++p;
    while (is_label(p) || *p == '.' || *p == ':') ++p;
    return p != start && *p == ']' ? p + 1 : nullptr;
}

}  // namespace

const char* addr_scan_mailbox(const char* p) {
    if (!p) return nullptr;
    p = *p == '"' ? read_quoted_local(p) : read_dot_atom(p);
    if (!p || *p != '@') return nullptr;
    ++p;
    return *p == '[' ? read_literal(p) : read_domain(p);
}

namespace {

// The address and ">" of an angle entry; p is just after "<".
const char* read_angle(const char* p, entry* e) {
    const char* end = addr_scan_mailbox(p);
    if (!end || *end != '>') return nullptr;
    e->addr = p;
    e->addr_len = static_cast<uint32_t>(end - p);
    return end + 1;
}

// A display name that has shown a blank or a quote; it must end in "<".
const char* read_display_name(const char* start, const char* p, entry* e) {
    for (;;) {
        if (*p == '"') {
            ++p;
            while (*p && *p != '"') ++p;  // no escapes inside
            if (!*p) return nullptr;
            ++p;
        } else if (*p == '<') {
            e->name = start;
            e->name_len = static_cast<uint32_t>(p - start);
            return read_angle(p + 1, e);
        } else if (cls(p) & (k_blank | k_name)) {
            ++p;
        } else {
            return nullptr;
        }
    }
}

// One bare or angle entry at p. Returns the byte after it (after the domain
// of a bare address, after ">" of an angle entry), or NULL when the text
// does not hold an entry there.
const char* read_entry(const char* p, entry* e) {
    *e = entry{};
    if (*p == '<') {
        e->name = p;
        return read_angle(p + 1, e);
    }
    if (const char* end = addr_scan_mailbox(p)) {
        e->addr = p;
        e->addr_len = static_cast<uint32_t>(end - p);
        return end;
    }
    // Not an address: the start of a display name, which must lead to "<".
    if (*p == '"' || (cls(p) & k_name)) return read_display_name(p, p, e);
    return nullptr;
}

inline int report(void* ctx, msg_scan_cb cb, const entry& e) {
    return cb(ctx, e.addr, e.addr_len, e.name, e.name_len);
}

inline const char* skip_blanks(const char* p) {
    while (is_blank(p)) ++p;
    return p;
}

// A field name byte: printable ASCII but ":".
inline bool is_ftext(const char* p) {
    return *p > ' ' && *p < 0x7F && *p != ':';
}

// A line end of the header block, as the prepared file is sent: LF, CR LF
// or a lone CR; its length, or 0.
inline int header_line_end(const char* p) {
    if (*p == '\r') return p[1] == '\n' ? 2 : 1;
    return *p == '\n' ? 1 : 0;
}

// The end of the field value at p: the first line end that no blank
// follows, or the end of the text.
const char* field_end(const char* p) {
    for (;;) {
        if (!*p) return p;
        const int le = header_line_end(p);
        if (le && !is_blank(p + le)) return p;
        p += le ? le : 1;
    }
}

}  // namespace

int addr_scan_list_file(void* ctx, const char* text, msg_scan_cb cb, const char** stopped_at) {
    if (!text) return 0;
    const char* p = text;
    auto stop = [stopped_at](const char* at) {
        if (stopped_at) *stopped_at = at;
        return 1;
    };
    for (;;) {
        for (;;) {
            if (is_blank(p))
                ++p;
            else if (int le = line_end_len(p))
                p += le;
            else
                break;
        }
        if (!*p) return stop(p);  // a lone CR is no separator: read_entry refuses it
        entry e;
        const char* next = read_entry(p, &e);
        if (!next) return stop(p);
        // An entry the list refuses stops the scan there, so the caller
        // sees the file as not read to its end instead of losing it unseen.
        if (!report(ctx, cb, e)) return stop(p);
        // A bare address may be followed by a separator, "<" or a name byte;
        // a quote right after it is not the start of another entry.
        if (!e.name && *next == '"') return stop(next);
        p = next;
    }
}

int addr_scan_list_file(void* ctx, const char* text, msg_scan_cb cb) {
    return addr_scan_list_file(ctx, text, cb, nullptr);
}

int addr_scan_header_list(void* ctx, const char* text, msg_scan_cb cb) {
    if (!text) return 1;
    addr_read_field(ctx, text, static_cast<uint32_t>(field_end(text) - text), cb, nullptr);
    return 0;
}

int msg_scan_headers(void* ctx, const char* text, msg_scan_cb cb, const char** stopped_at) {
    if (stopped_at) *stopped_at = nullptr;
    if (!text) return 1;
    auto stop = [stopped_at](const char* line) {
        if (stopped_at) *stopped_at = line;
        return 1;
    };
    for (const char* p = text;;) {
        if (!*p || header_line_end(p)) return 1;  // the end, or the empty line
        const char* line = p;
        while (is_ftext(p)) ++p;
        const auto name_len = static_cast<uint32_t>(p - line);
        p = skip_blanks(p);
        // Also a continuation line with no field before it.
        if (name_len == 0 || *p != ':') return stop(line);
        const char* value = skip_blanks(p + 1);
        p = field_end(value);
        if (!cb(ctx, line, name_len, value, static_cast<uint32_t>(p - value))) return stop(line);
        p += header_line_end(p);
    }
}

int msg_scan_headers(void* ctx, const char* text, msg_scan_cb cb) {
    return msg_scan_headers(ctx, text, cb, nullptr);
}

char* msg_unfold_value(const char* text, uint32_t n) {
    char* out = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!out) return nullptr;
    size_t len = 0;
    for (uint32_t i = 0; i < n && text[i];) {
        uint32_t le = 0;
        if (text[i] == '\n')
            le = 1;
        else if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')
            le = 2;
        if (le) {
            uint32_t j = i + le;
            if (j >= n || !text[j]) break;  // a final line end is dropped
            if (text[j] == ' ' || text[j] == '\t') {
                i = j;  // a fold: the line break goes, the blank stays
                continue;
            }
        }
        out[len++] = text[i++];
    }
    out[len] = '\0';
    return out;
}

}  // namespace ostrel
