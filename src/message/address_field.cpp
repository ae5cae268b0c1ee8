// One pass over an address-list field value. The words in front of "<",
// ":" or "@" are read once, both as a display name and as a local part,
// until the byte after them says which they were. The addr-spec is put
// together without its comments and blanks and then judged by the one
// address rule of every reader, so this grammar never widens it.
#include "message/address_field.hpp"

#include <array>
#include <string>

#include "message/address.hpp"

namespace ostrel {
namespace {

enum : uint8_t {
    k_wsp = 1,     // SP, HT
    k_eol = 2,     // CR, LF: inside a field value only ever part of a fold
    k_atext = 4,   // atom bytes
    k_qtext = 8,   // stands for itself in a quoted string
    k_ctext = 16,  // ... in a comment
    k_dtext = 32,  // ... in a domain literal
    k_pair = 64,   // may follow "\" in a quoted-pair
};

constexpr std::array<uint8_t, 256> make_classes() {
    std::array<uint8_t, 256> t{};
    t[' '] = t['\t'] = k_wsp | k_pair;
    t['\r'] = t['\n'] = k_eol;
    for (int c = 0x21; c < 0x7F; ++c) t[c] = k_qtext | k_ctext | k_dtext | k_pair;
    auto clear = [&t](char c, uint8_t bits) {
        t[static_cast<uint8_t>(c)] = static_cast<uint8_t>(t[static_cast<uint8_t>(c)] & ~bits);
    };
    clear('"', k_qtext);
    clear('\\', k_qtext | k_ctext | k_dtext);
    clear('(', k_ctext);
    clear(')', k_ctext);
    clear('[', k_dtext);
    clear(']', k_dtext);
    for (int c = 0; c < 0x80; ++c) {
        bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alnum) t[c] |= k_atext;
    }
    for (const char* s = "!#$%&'*+-/=?^_`{|}~"; *s; ++s) t[static_cast<uint8_t>(*s)] |= k_atext;
    // UTF-8 stands wherever text does; the address rule judges it in addresses.
    for (int c = 0x80; c < 0x100; ++c) t[c] = k_atext | k_qtext | k_ctext | k_dtext | k_pair;
    return t;
}

constexpr std::array<uint8_t, 256> classes = make_classes();

inline uint8_t cls(char c) {
    return classes[static_cast<uint8_t>(c)];
}

inline void put(std::string* s, char c) {
    if (s) *s += c;
}
inline void put(std::string* s, const char* from, const char* to) {
    if (s) s->append(from, to);
}

class field_reader {
  public:
    field_reader(void* ctx, const char* value, uint32_t len, msg_scan_cb cb,
                 addr_field_fault* fault)
        : ctx_(ctx), cb_(cb), fault_(fault), p_(value), end_(value + len) {}

    bool read() { return read_elements(nullptr); }

  private:
    // What the words before "<", ":" or "@" allow.
    struct lead {
        bool tokens = false;   // a word or a dot was read
        bool local_ok = true;  // no two words without a dot between them
    };

    bool more() const { return p_ < end_; }
    bool is(uint8_t k) const { return more() && (cls(*p_) & k); }
    bool at(char c) const { return more() && *p_ == c; }

    // Mailboxes and groups separated by commas, up to the end of the value,
    // or, for the members of the group that starts at group, up to ";". A
    // mailbox is reported once the separator after it shows it whole.
    bool read_elements(const char* group) {
        group_ = group;
        const char* last = nullptr;  // the element just read: a separator must follow
        for (;;) {
            if (!skip_cfws()) return fail(last ? last : p_);
            const bool closed = group && at(';');
            if (last && (closed || at(',') || !more())) {
                if (mailbox_ && !report(last)) return false;
                last = nullptr;
            }
            if (!more()) return group ? fail(group, end_) : true;  // a group must be closed
            if (closed) {
                ++p_;
                group_ = nullptr;
                return true;
            }
            if (at(',')) {
                ++p_;
                continue;
            }
            if (last) return fail(last, p_);
            last = p_;
            if (!read_element(group != nullptr)) return false;
        }
    }

    // One mailbox, left in addr_ and name_ (mailbox_ set), or a group,
    // whose members are reported.
    bool read_element(bool in_group) {
        const char* start = p_;
        mailbox_ = false;
        addr_.clear();
        name_.assign(1, '"');
        lead l;
        if (!read_lead(&addr_, &name_, &l)) return fail(start);
        if (at('<')) {
            ++p_;
            addr_.clear();
            if (!read_angle()) return fail(start);
            name_ += '"';
            named_ = mailbox_ = true;
            return true;
        }
        if (at(':') && l.tokens && !in_group) {
            ++p_;
            return read_elements(start);
        }
        if (at('@') && l.tokens && l.local_ok) {
            addr_ += '@';
            ++p_;
            if (!read_domain(&addr_, nullptr)) return fail(start);
            named_ = false;
            mailbox_ = true;
            return true;
        }
        return fail(start);  // a phrase alone, a nested group, a stray special
    }

    bool report(const char* entry) {
        mailbox_ = false;
        if (!addr_is_mailbox(addr_.c_str())) return fail(entry);
        const auto len = static_cast<uint32_t>(addr_.size());
        const int taken =
            named_ ? cb_(ctx_, addr_.data(), len, name_.data(), static_cast<uint32_t>(name_.size()))
                   : cb_(ctx_, addr_.data(), len, nullptr, 0);
        return taken ? true : fail(entry);
    }

    // Words (atoms and quoted strings) and dots, with blanks, folds and
    // comments between them: appended to local as written without those
    // (a local part) and to name decoded (a display name); either may be NULL.
    bool read_lead(std::string* local, std::string* name, lead* l) {
        enum { none, word, dot } prev = none;
        for (;;) {
            const char* gap = p_;
            bool comment = false;
            if (!skip_cfws(&comment)) return false;
            const bool quoted = at('"');
            const bool is_word = quoted || is(k_atext);
            if (!is_word && !at('.')) return true;
            if (name && prev != none) put_gap(name, gap, comment);
            if (is_word) {
                if (prev == word) l->local_ok = false;
                if (quoted && !read_quoted(local, name)) return false;
                if (!quoted) read_atom(local, name);
                prev = word;
            } else {
                put(local, '.');
                put(name, '.');
                ++p_;
                prev = dot;
            }
            l->tokens = true;
        }
    }

    // The blanks between two words of a name as written, without the line
    // breaks of folds; a comment among them leaves one blank.
    void put_gap(std::string* name, const char* gap, bool comment) {
        if (comment) {
            *name += ' ';
            return;
        }
        for (const char* s = gap; s < p_; ++s)
            if (cls(*s) & k_wsp) *name += *s;
    }

    void read_atom(std::string* a, std::string* b) {
        const char* start = p_;
        while (is(k_atext)) ++p_;
        put(a, start, p_);
        put(b, start, p_);
    }

    // At '"': the string as written without the line breaks of its folds to
    // raw, its text with the quoted-pairs resolved to text.
    bool read_quoted(std::string* raw, std::string* text) {
        put(raw, *p_++);
        while (more()) {
            const char c = *p_++;
            if (c == '"') {
                put(raw, c);
                return true;
            }
            if (cls(c) & k_eol) continue;  // a fold: its blank stays
            if (c == '\\') {
                if (!is(k_pair)) return false;
                put(raw, c);
                put(raw, *p_);
                put(text, *p_++);
            } else if (cls(c) & (k_qtext | k_wsp)) {
                put(raw, c);
                put(text, c);
            } else {
                return false;
            }
        }
        return false;
    }

    // Blanks, folds and comments (nested too); false for a comment that is
    // not closed or holds a byte no comment may hold.
    bool skip_cfws(bool* comment = nullptr) {
        for (;;) {
            while (is(k_wsp | k_eol)) ++p_;
            if (!at('(')) return true;
            if (comment) *comment = true;
            if (!skip_comment()) return false;
        }
    }

    bool skip_comment() {
        size_t depth = 0;  // counted, not recursed: nesting costs no stack
        while (more()) {
            const char c = *p_++;
            if (c == '(') {
                ++depth;
            } else if (c == ')') {
                if (--depth == 0) return true;
            } else if (c == '\\') {
                if (!is(k_pair)) return false;
                ++p_;
            } else if (!(cls(c) & (k_ctext | k_wsp | k_eol))) {
                return false;
            }
        }
        return false;
    }

    // After "@": a domain literal, or atoms and dots, into out (NULL: read
    // only); the comments and blanks around them are dropped. *any tells
    // whether there was anything.
    bool read_domain(std::string* out, bool* any) {
        if (!skip_cfws()) return false;
        if (at('[')) {
            if (any) *any = true;
            return read_literal(out) && skip_cfws();
        }
        bool atom = false;  // the last token: two atoms need a dot between them
        for (;;) {
            if (is(k_atext) && !atom) {
                read_atom(out, nullptr);
                atom = true;
            } else if (at('.')) {
                put(out, *p_++);
                atom = false;
            } else {
                return true;
            }
            if (any) *any = true;
            if (!skip_cfws()) return false;
        }
    }

    bool read_literal(std::string* out) {
        put(out, *p_++);
        while (more()) {
            const char c = *p_++;
            if (c == ']') {
                put(out, c);
                return true;
            }
            if (cls(c) & (k_wsp | k_eol)) continue;
            if (!(cls(c) & k_dtext)) return false;
            put(out, c);
        }
        return false;
    }

    // After "<": an obsolete route, which is dropped, the addr-spec into
    // addr_, and ">".
    bool read_angle() {
        if (!skip_cfws()) return false;
        if ((at('@') || at(',')) && !skip_route()) return false;
        lead l;
        if (!read_lead(&addr_, nullptr, &l) || !l.tokens || !l.local_ok || !at('@')) return false;
        addr_ += *p_++;
        if (!read_domain(&addr_, nullptr) || !at('>')) return false;
        ++p_;
        return true;
    }

    // "@" domain, more of them after commas, and ":".
    bool skip_route() {
        bool domain = false;  // since the last comma
        bool any = false;
        for (;;) {
            if (!skip_cfws()) return false;
            if (at(',')) {
                ++p_;
                domain = false;
            } else if (at(':') && any) {
                ++p_;
                return true;
            } else if (at('@') && !domain) {
                ++p_;
                bool got = false;
                if (!read_domain(nullptr, &got) || !got) return false;
                domain = any = true;
            } else {
                return false;
            }
        }
    }

    // The entry from start, up to the separator after from (the next comma,
    // or ";" in a group, outside quotes, comments and angle brackets),
    // without the blanks around it.
    bool fail(const char* start, const char* from = nullptr) {
        while (start < end_ && (cls(*start) & (k_wsp | k_eol))) ++start;
        const char* stop = from == end_ ? end_ : entry_end(from ? from : start);
        while (stop > start && (cls(stop[-1]) & (k_wsp | k_eol))) --stop;
        if (fault_) *fault_ = {start, static_cast<uint32_t>(stop - start)};
        return false;
    }

    const char* entry_end(const char* s) const {
        size_t depth = 0;
        bool quoted = false, angle = false;
        for (; s < end_; ++s) {
            const char c = *s;
            if ((quoted || depth) && c == '\\') {
                if (s + 1 < end_) ++s;
            } else if (quoted) {
                quoted = c != '"';
            } else if (depth) {
                if (c == '(') ++depth;
                if (c == ')') --depth;
            } else if (c == '"') {
                quoted = true;
            } else if (c == '(') {
                depth = 1;
            } else if (c == '<' || c == '>') {
                angle = c == '<';
            } else if (!angle && (c == ',' || (group_ && c == ';'))) {
                break;
            }
        }
        return s < end_ ? s : end_;
    }

    void* ctx_;
    msg_scan_cb cb_;
    addr_field_fault* fault_;
    const char* p_;
    const char* end_;
    const char* group_ = nullptr;  // the group whose members are being read
    std::string addr_, name_;      // the mailbox being read; reused by every entry
    bool mailbox_ = false;         // addr_ and name_ hold a mailbox not yet reported
    bool named_ = false;           // ... that has a display name
};

}  // namespace

int addr_read_field(void* ctx, const char* value, uint32_t len, msg_scan_cb cb,
                    addr_field_fault* fault) {
    if (!value) return 1;
    field_reader reader(ctx, value, len, cb, fault);
    return reader.read() ? 1 : 0;
}

}  // namespace ostrel
