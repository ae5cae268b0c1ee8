// One-pass scanners over mail text. Every byte is classified through one
// table; the scanners keep their marks in locals, so a callback may start
// another scan (the header scanner's callback runs the header-list scanner).
#include "message/scan.hpp"

#include <array>
#include <cstdlib>
#include <cstring>

namespace ostrel {
namespace {

enum : uint8_t {
    k_blank = 1,  // SP, HT
    k_local = 2,  // may stand in the local part of an address
    k_name = 4,   // may stand in an unquoted display name
    k_label = 8,  // may stand in a domain label, or in a header name
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
    // The bytes of U+2019 (a typographic apostrophe in names pasted into lists).
    t[0x80] |= k_local;
    t[0x99] |= k_local;
    t[0xE2] |= k_local;
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

// Two or more labels joined by single dots, starting at p (just after "@").
// Returns the first byte after the domain, or NULL when there is no domain.
const char* read_domain(const char* p) {
    int labels = 0;
    for (;;) {
        if (!is_label(p)) return nullptr;  // empty label, or a trailing dot
        while (is_label(p)) ++p;
        ++labels;
        if (*p != '.') break;
        ++p;
    }
    return labels >= 2 ? p : nullptr;
}

// The address and ">" of an angle entry; p is just after "<".
const char* read_angle(const char* p, entry* e) {
    const char* start = p;
    while (cls(p) & k_local) ++p;
    if (p == start || *p != '@') return nullptr;
    const char* end = read_domain(p + 1);
    if (!end || *end != '>') return nullptr;
    e->addr = start;
    e->addr_len = static_cast<uint32_t>(end - start);
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
    if (*p == '"') return read_display_name(p, p, e);
    // A run that may turn out to be a local part or the start of a name.
    const char* q = p;
    bool may_local = true, may_name = true;
    for (uint8_t k; (k = cls(q)) & (k_local | k_name); ++q) {
        if (!(k & k_local)) may_local = false;
        if (!(k & k_name)) may_name = false;
        if (!may_local && !may_name) return nullptr;
    }
    if (q == p) return nullptr;
    if (*q == '@') {
        if (!may_local) return nullptr;
        const char* end = read_domain(q + 1);
        if (!end) return nullptr;
        e->addr = p;
        e->addr_len = static_cast<uint32_t>(end - p);
        return end;
    }
    if (!may_name) return nullptr;
    if (*q == '<' || *q == '"' || is_blank(q)) return read_display_name(p, q, e);
    return nullptr;
}

inline int report(void* ctx, msg_scan_cb cb, const entry& e) {
    return cb(ctx, e.addr, e.addr_len, e.name, e.name_len);
}

inline const char* skip_blanks(const char* p) {
    while (is_blank(p)) ++p;
    return p;
}

// After a "," on the entry's line: blanks and any number of folded lines.
// Returns where the next entry must start, or NULL when the value ends.
const char* skip_after_comma(const char* p) {
    for (;;) {
        p = skip_blanks(p);
        int le = line_end_len(p);
        if (!le) return p;
        if (!is_blank(p + le)) return nullptr;
        p += le;
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
    const char* p = skip_blanks(text);
    for (;;) {
        entry e;
        // "," is a name byte, but never starts an entry here.
        const char* next = *p == ',' ? nullptr : read_entry(p, &e);
        if (!next) return 0;
        p = skip_blanks(next);
        if (*p == ',') {
            report(ctx, cb, e);
            p = skip_after_comma(p + 1);
            if (!p) return 0;
            continue;
        }
        if (!*p) {
            report(ctx, cb, e);
            return 0;
        }
        int le = line_end_len(p);
        if (!le || is_blank(p + le)) return 0;  // another entry, ";", a fold without ","
        report(ctx, cb, e);
        p += le;
        if (*p != ',') return 0;
        p = skip_blanks(p + 1);
    }
}

int msg_scan_headers(void* ctx, const char* text, msg_scan_cb cb) {
    if (!text) return 1;
    const char* p = text;
    for (;;) {
        // One line end between header lines; a second one is the empty line
        // that ends the block. What follows it must be the next field's name.
        p = skip_blanks(p);
        if (int le = line_end_len(p)) {
            p += le;
            if (*p == '\n' || *p == '\r') return 1;
        }
        const char* name = p;
        while (is_label(p)) ++p;
        if (*p != ':' || !is_blank(p + 1)) return 1;  // also the end of the text, a lone CR
        uint32_t name_len = static_cast<uint32_t>(p - name);
        const char* value = skip_blanks(p + 1);
        p = value;
        for (;;) {
            if (!*p) break;
            if (*p == '\n' || *p == '\r') {
                int le = (*p == '\r' && p[1] == '\n') ? 2 : 1;
                if (!is_blank(p + le)) break;
                p += le;  // a folded continuation stays in the value
                continue;
            }
            ++p;
        }
        cb(ctx, name, name_len, value, static_cast<uint32_t>(p - value));
        if (!*p || line_end_len(p) == 0) return 1;  // the end of the text, or a lone CR
    }
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
