// Bounded strings and text utilities.
#include "support/str.hpp"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <sys/stat.h>

#include "support/fmt.hpp"
#include "support/utf8.hpp"

namespace ostrel {

namespace {

constexpr uint32_t fold_entry(int i) {
    return (i >= 'a' && i <= 'z') ? static_cast<uint32_t>(i - 'a' + 'A') : static_cast<uint32_t>(i);
}

inline uint32_t fold(char c) {
    return str_upper_fold_table[static_cast<unsigned char>(c)];
}

inline bool is_delim(char c, const char* delims) {
    return c && std::strchr(delims, c);
}

// Length of a token starting at s: up to a delimiter outside a quoted run, or
// the terminator. Quote bytes belong to the token.
size_t quoted_span(const char* s, const char* delims, char quote) {
    bool inside = false;
    size_t i = 0;
    for (; s[i]; ++i) {
        if (s[i] == quote) {
            inside = !inside;
        } else if (!inside && is_delim(s[i], delims)) {
            break;
        }
    }
    return i;
}

// The in-place tokenisers share everything but the way the token's end is found.
template <typename Span>
char* tok_in_place(char* text, const char* delims, char** save, Span span) {
    char* s = text ? (*save = text) : *save;
    if (!s || !*s) return nullptr;
    s += std::strspn(s, delims);
    if (!*s) {
        *save = s;
        return nullptr;
    }
    char* e = s + span(s);
    if (*e) {
        *e = '\0';
        *save = e + 1;
    } else {
        *save = e;
    }
    return s;
}

// A growing malloc'd text for the stream readers; NULL data after a failure.
struct heap_text {
    char* data = nullptr;
    size_t len = 0;
    size_t cap = 0;

    bool start() {
        data = static_cast<char*>(std::malloc(1));
        if (!data) return false;
        data[0] = '\0';
        cap = 1;
        return true;
    }
    char* discard() {
        std::free(data);
        data = nullptr;
        return nullptr;
    }
    bool append(const char* bytes, size_t n) {
        if (len + n + 1 > cap) {
            size_t want = cap * 2 > len + n + 1 ? cap * 2 : len + n + 1;
            char* grown = static_cast<char*>(std::realloc(data, want));
            if (!grown) {
                std::free(data);
                data = nullptr;
                return false;
            }
            data = grown;
            cap = want;
        }
        std::memcpy(data + len, bytes, n);
        len += n;
        data[len] = '\0';
        return true;
    }
};

// Where to cut a word of which k bytes would fit: before the lead byte of a
// UTF-8 sequence that would be split. A broken sequence is cut as bytes.
size_t word_cut(const char* word, size_t k) {
    size_t j = utf8_sequence_start(word, k);
    return j != k && utf8_is_lead(static_cast<unsigned char>(word[j])) ? j : k;
}

// Length of the blank-free run at p, counted up to limit bytes.
size_t word_span(const char* p, size_t limit) {
    size_t n = 0;
    while (n < limit && p[n] && p[n] != ' ' && p[n] != '\t' && p[n] != '\r' && p[n] != '\n') ++n;
    return n;
}

// Cursor after a line that filled its width: one SP after it is a soft
// break, and a line end (or the text's end) right after belongs to this line.
const char* after_full_line(const char* p) {
    if (*p == ' ') ++p;
    if (!*p) return nullptr;
    if (*p == '\n') return p + 1;
    if (*p == '\r') return p + 1 + (p[1] == '\n');
    return p;
}

}  // namespace

#define OSTREL_F4(i) fold_entry(i), fold_entry(i + 1), fold_entry(i + 2), fold_entry(i + 3)
#define OSTREL_F16(i) OSTREL_F4(i), OSTREL_F4(i + 4), OSTREL_F4(i + 8), OSTREL_F4(i + 12)
#define OSTREL_F64(i) OSTREL_F16(i), OSTREL_F16(i + 16), OSTREL_F16(i + 32), OSTREL_F16(i + 48)
const uint32_t str_upper_fold_table[256] = {OSTREL_F64(0), OSTREL_F64(64), OSTREL_F64(128),
                                            OSTREL_F64(192)};
#undef OSTREL_F64
#undef OSTREL_F16
#undef OSTREL_F4

// ---- case mapping

char* str_tolower(char* text) {
    for (char* p = text; *p; ++p) *p = static_cast<char>(str_char_tolower(*p));
    return text;
}

char* str_toupper(char* text) {
    for (char* p = text; *p; ++p) *p = static_cast<char>(str_char_toupper(*p));
    return text;
}

int str_char_tolower(int byte) {
    int b = byte & 0xFF;
    return (b >= 'A' && b <= 'Z') ? b - 'A' + 'a' : b;
}

int str_char_toupper(int byte) {
    return static_cast<int>(str_upper_fold_table[byte & 0xFF]);
}

int str_abs(int value) {
    if (value == INT_MIN) return value;
    return value < 0 ? -value : value;
}

// ---- bounded copies

char* str_copy(char* dst, const char* src, size_t size) {
    if (size == 0) return nullptr;
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return dst;
}

char* str_append(char* dst, const char* src, size_t size) {
    if (size == 0) return nullptr;
    size_t used = strnlen(dst, size - 1);
    str_copy(dst + used, src, size - used);
    return dst;
}

char* str_append_int(char* dst, int value, size_t size) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return str_append(dst, text, size);
}

char* str_append_u64(char* dst, uint64_t value, size_t size) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return str_append(dst, text, size);
}

char* str_append_char(char* dst, int byte, size_t size) {
    const char text[2] = {static_cast<char>(byte), '\0'};
    return str_append(dst, text, size);
}

int str_sprintf(char* buf, size_t size, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, size, format, ap);
    va_end(ap);
    return n;
}

// ---- comparison and search

int str_casecmp(const char* a, const char* b) {
    if (a == b) return 0;
    for (int i = 0;; ++i) {
        if (!a[i]) return b[i] ? -(i + 1) : 0;
        uint32_t fa = fold(a[i]), fb = fold(b[i]);
        if (fa != fb) return fa > fb ? i + 1 : -(i + 1);
    }
}

int str_ncasecmp(const char* a, const char* b, int n) {
    if (a == b || n < 1) return 0;
    for (int i = 0; i < n; ++i) {
        if (!a[i]) return b[i] ? -(i + 1) : 0;
        uint32_t fa = fold(a[i]), fb = fold(b[i]);
        if (fa != fb) return fa > fb ? i + 1 : -(i + 1);
    }
    return 0;
}

const char* str_casestr(const char* text, const char* sub) {
    if (!*text || !*sub) return nullptr;
    size_t n = std::strlen(sub);
    for (const char* p = text; *p; ++p) {
        if (fold(*p) != fold(sub[0])) continue;
        size_t i = 1;
        while (i < n && p[i] && fold(p[i]) == fold(sub[i])) ++i;
        if (i == n) return text;
    }
    return nullptr;
}

// ---- small edits

char* str_reverse(char* text) {
    size_t n = std::strlen(text);
    for (size_t i = 0; i < n / 2; ++i) {
        char c = text[i];
        text[i] = text[n - 1 - i];
        text[n - 1 - i] = c;
    }
    return text;
}

char* str_chomp(char* text) {
    text[std::strcspn(text, "\r\n")] = '\0';
    return text;
}

const char* str_keep_alnum(const char* src, char* dst) {
    if (!dst) return src;
    char* out = dst;
    for (const char* p = src; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
        if (keep) *out++ = *p;
    }
    *out = '\0';
    return dst;
}

// ---- tokenisers

char* str_tok(char* text, const char* delims, char** save) {
    return tok_in_place(text, delims, save,
                        [delims](const char* s) { return std::strcspn(s, delims); });
}

char* str_tok_quoted(char* text, const char* delims, char quote, char** save) {
    return tok_in_place(text, delims, save,
                        [delims, quote](const char* s) { return quoted_span(s, delims, quote); });
}

const char* str_token_quoted(const char* text, const char* delims, char quote, const char** save,
                             uint32_t* len) {
    const char* s = text ? (*save = text) : *save;
    if (!s || !*s) return nullptr;
    s += std::strspn(s, delims);
    if (!*s) {
        *len = 0;
        *save = s;
        return nullptr;
    }
    size_t n = quoted_span(s, delims, quote);
    *len = static_cast<uint32_t>(n);
    *save = s[n] ? s + n + 1 : s + n;
    return s;
}

// ---- scanners

const char* str_find_any(const char* text, const char* set, const char** out, const char* end) {
    const char* p = text;
    for (; *p; ++p) {
        if (*set && std::strchr(set, *p)) {
            *out = p;
            return p;
        }
        if (p == end) {
            *out = end;
            return nullptr;
        }
    }
    *out = p;
    return nullptr;
}

const char* str_next_line(const char** cursor, uint32_t* len, const char* end) {
    *len = 0;
    const char* s = *cursor;
    if ((end && s >= end) || !*s) return nullptr;
    const char* p = s;
    for (; (!end || p < end) && *p; ++p) {
        if (*p != '\n' && *p != '\r') continue;
        *len = static_cast<uint32_t>(p - s);
        bool crlf = *p == '\r' && (!end || p + 1 < end) && p[1] == '\n';
        *cursor = p + 1 + crlf;
        return s;
    }
    *len = static_cast<uint32_t>(p - s);
    *cursor = p;
    return s;
}

char* str_wrap_line(const char** cursor, char* out, int width) {
    if (!*cursor) return nullptr;
    const size_t w = width < 1 ? 1 : static_cast<size_t>(width);
    const char* p = *cursor;
    // A line that fits the width goes whole: copied at once, not word by word.
    size_t k = 0;
    while (k <= w && p[k] && p[k] != '\n' && p[k] != '\r') ++k;
    if (k <= w) {
        std::memcpy(out, p, k);
        out[k] = '\0';
        const char b = p[k];
        *cursor = !b ? nullptr : p + k + 1 + (b == '\r' && p[k + 1] == '\n');
        return out;
    }
    size_t n = 0;
    bool word_start = true;
    for (;;) {
        const char b = *p;
        if (!b || b == '\n' || b == '\r') {
            out[n] = '\0';
            *cursor = !b ? nullptr : p + 1 + (b == '\r' && p[1] == '\n');
            return out;
        }
        if (b == ' ' || b == '\t') {
            word_start = true;
        } else if (word_start) {
            word_start = false;
            // Only whether the word fits matters: looking further than one
            // past the width would make a long run of text quadratic.
            size_t word = word_span(p, w + 1);
            if (word > w) {
                size_t k = word_cut(p, w - n);
                if (k == 0 && n == 0) k = w;  // no room for even one sequence
                std::memcpy(out + n, p, k);
                out[n + k] = '\0';
                *cursor = p + k;
                return out;
            }
            if (n + word > w) {
                out[n] = '\0';
                *cursor = p;
                return out;
            }
        }
        out[n++] = b;
        ++p;
        if (n == w) {
            out[n] = '\0';
            *cursor = after_full_line(p);
            return out;
        }
    }
}

// ---- streams and numbers

namespace {

constexpr size_t read_block = 64 * 1024;

// Copies a block to out (room: twice its size) with every line end made
// CRLF; after_cr carries a CR that ended the last block, so a LF opening the
// next one completes it. Returns the bytes written.
size_t crlf_block(const char* p, size_t n, bool& after_cr, char* out) {
    const char* end = p + n;
    char* o = out;
    if (after_cr && p < end && *p == '\n') ++p;
    after_cr = false;
    // Runs between line ends are copied whole; the next CR and LF are found
    // with memchr and looked for again only once passed.
    auto find = [end](const char* from, char c) {
        const void* at = std::memchr(from, c, static_cast<size_t>(end - from));
        return at ? static_cast<const char*>(at) : end;
    };
    const char* next_cr = find(p, '\r');
    const char* next_lf = find(p, '\n');
    while (p < end) {
        if (next_cr < p) next_cr = find(p, '\r');
        if (next_lf < p) next_lf = find(p, '\n');
        const char* q = std::min(next_cr, next_lf);
        std::memcpy(o, p, static_cast<size_t>(q - p));
        o += q - p;
        if (q == end) break;
        const char c = *q;
        p = q + 1;
        *o++ = '\r';
        *o++ = '\n';
        if (c == '\r') {
            if (p == end)
                after_cr = true;
            else if (*p == '\n')
                ++p;
        }
    }
    return static_cast<size_t>(o - out);
}

// Reads to the end in blocks. A NUL byte in text is refused as soon as its
// block arrives, so an endless source of zeros ends at once instead of
// being read (or skipped) forever.
template <class Append>
int read_blocks(FILE* stream, int flags, Append&& append) {
    // The block, then its CRLF form: one append per block.
    std::unique_ptr<char[]> block(new (std::nothrow) char[3 * read_block]);
    if (!block) return file_text_no_memory;
    char* converted = block.get() + read_block;
    bool after_cr = false;
    size_t got;
    while ((got = std::fread(block.get(), 1, read_block, stream)) > 0) {
        if ((flags & file_text_no_nul) && std::memchr(block.get(), 0, got))
            return file_text_nul_byte;
        bool ok = (flags & file_text_crlf)
                      ? append(converted, crlf_block(block.get(), got, after_cr, converted))
                      : append(block.get(), got);
        if (!ok) return file_text_no_memory;
    }
    // A read error must not pass for the end of the file: that would hand
    // on a cut text as if it were whole.
    return std::ferror(stream) ? file_text_read_error : file_text_ok;
}

}  // namespace

char* file_read_stream(FILE* stream, size_t* len) {
    heap_text text;
    if (!text.start()) return nullptr;
    if (read_blocks(stream, 0, [&](const char* p, size_t n) { return text.append(p, n); }) !=
        file_text_ok)
        return text.discard();
    *len = text.len;
    return text.data;
}

char* file_read_lines_crlf(FILE* stream) {
    heap_text text;
    if (!text.start()) return nullptr;
    if (read_blocks(stream, file_text_crlf | file_text_no_nul,
                    [&](const char* p, size_t n) { return text.append(p, n); }) != file_text_ok)
        return text.discard();
    return text.data;
}

int file_read_text(FILE* stream, int flags, std::string* out) {
    out->clear();
    // A file's size is known ahead: one allocation holds it, with room for
    // the CRs that bare LFs gain, so the text is not held twice while it grows.
    struct stat st {};
    if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        const auto size = static_cast<size_t>(st.st_size);
        out->reserve((flags & file_text_crlf) ? size + size / 32 + 64 : size);
    }
    int rc = read_blocks(stream, flags, [out](const char* p, size_t n) {
        out->append(p, n);
        return true;
    });
    if (rc == file_text_no_memory) throw std::bad_alloc();
    if (rc != file_text_ok) out->clear();
    return rc;
}

char* str_from_u64_base(uint64_t value, int base, char* out) {
    // Room for the longest text: 64 binary digits and the NUL.
    char digits[65];
    const char* p = fmt_u64_radix(value, base, digits, sizeof digits);
    if (!p) p = "";  // a base outside 2-36
    std::memcpy(out, p, std::strlen(p) + 1);
    return out;
}

int str_is_7bit(const char* s) {
    if (!s) return 1;
    for (; *s; ++s) {
        if (static_cast<unsigned char>(*s) >= 0x80) return 0;
    }
    return 1;
}

int str_has_nonprintable(const char* text) {
    if (!text) return 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if (*p < 0x20 || *p > 0x7E) return 1;
    return 0;
}

std::string str_escape_controls(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp = p[i];
        size_t n = cp < 0x80 ? 1 : utf8_decode(p + i, text.size() - i, &cp);
        if (n == 0) {  // a byte that starts no valid sequence stands for itself
            n = 1;
            cp = p[i];
        }
        if ((cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F)) {
            out += "\\x";
            out += hex[cp >> 4];
            out += hex[cp & 0xF];
        } else {
            out.append(text.data() + i, n);
        }
        i += n;
    }
    return out;
}

}  // namespace ostrel
