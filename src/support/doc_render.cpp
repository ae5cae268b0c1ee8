#include "support/doc_render.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/console.hpp"

namespace ostrel {

namespace {

// Paragraph and option texts are wrapped from at most this many bytes.
constexpr size_t doc_text_cut = 4095;
// Inline markup works on words of at most this many bytes.
constexpr size_t doc_word_cut = 63;
constexpr int doc_max_letters = doc_mode_string_size - 1;

uint32_t kind_of(const doc_row& row) {
    return static_cast<uint32_t>(row.kind);
}
const char* or_empty(const char* s) {
    return s ? s : "";
}
bool is_gap(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class console_writer {
  public:
    console_writer(FILE* out, long long width) : out_(out), width_(width) {}

    void put(const char* s, size_t n) {
        if (n) std::fwrite(s, 1, n, out_);
    }
    void put(const char* s) { put(s, std::strlen(s)); }
    void spaces(long long n) {
        for (long long i = 0; i < n; ++i) std::fputc(' ', out_);
    }

    // The words of text from column c. A word that would reach the width
    // starts a new line indented by indent; a word is followed by a space
    // while the line has room for one.
    void words(const char* text, long long c, long long indent) {
        const size_t len = strnlen(text, doc_text_cut);
        size_t i = 0;
        for (;;) {
            while (i < len && is_gap(text[i])) ++i;
            if (i == len) break;
            size_t j = i;
            while (j < len && !is_gap(text[j])) ++j;
            const long long word = static_cast<long long>(j - i);
            if (word + c >= width_) {
                put("\n", 1);
                spaces(indent);
                c = indent;
            }
            put(text + i, j - i);
            c += word;
            if (c < width_ - 1) {
                put(" ", 1);
                ++c;
            }
            i = j;
        }
    }

  private:
    FILE* out_;
    long long width_;
};

// Appends formatted text; a buffer that could not take it is marked failed,
// including when its first block could not be had.
template <typename... A>
void add(str_buf* b, fmt_string<A...> f, const A&... a) {
    if (!str_buf_appendf(b, f, a...)) b->flags |= str_buf_failed;
}

// A word of inline text, escaped, with the character that ended it.
void inline_word(str_buf* b, const char* e, char sep) {
    const int l = static_cast<int>(std::strlen(e));
    const char f = e[0];
    if (l >= 3 && f == '(' && e[2] == ')') {
        add(b, "**%.*s**%.*s%c", 3, e, l - 3, e + 3, sep);
    } else if (f == '-' && std::strchr("),.", e[l - 1])) {
        add(b, "_%.*s_%c%c", l - 1, e, e[l - 1], sep);
    } else if (f == '-' && l > 1 && e[1] != '\t' && e[1] != ' ') {
        add(b, "_%s_%c", e, sep);
    } else if (l >= 3 && f == '(' && e[1] == '-') {
        add(b, "%c_%.*s_%c", f, l - 1, e + 1, sep);
    } else {
        add(b, "%s%c", e, sep);
    }
}

}  // namespace

int doc_fprintf(FILE* stream, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = std::vfprintf(stream, format, ap);
    va_end(ap);
    return n;
}

void doc_mode_string(uint32_t mask, const char* letters, int count, char* out) {
    const int n = letters ? std::clamp(count, 0, doc_max_letters) : 0;
    for (int i = 0; i < n; ++i) out[i] = (mask >> (i % 32)) & 1 ? letters[i] : '-';
    out[n] = '\0';
}

int doc_write_console(FILE* out, const doc_row* table, const char* letters, int width) {
    const int n = letters ? static_cast<int>(strnlen(letters, doc_max_letters)) : 0;
    long long m = 0;
    for (const doc_row* r = table; kind_of(*r) != doc_end; ++r) {
        if (kind_of(*r) == doc_option)
            m = std::max(m, static_cast<long long>(std::strlen(or_empty(r->option))));
    }
    const long long indent = n ? n + m + 2 : m + 1;
    const long long first_column = n + m + 3;

    console_writer w(out, width);
    for (const doc_row* r = table; kind_of(*r) != doc_end; ++r) {
        const char* text = or_empty(r->text);
        switch (kind_of(*r)) {
            case doc_heading:
                doc_fprintf(out, "## %s ##\n\n", text);
                break;
            case doc_paragraph:
                w.words(text, 0, 0);
                w.put("\n", 1);
                if (kind_of(r[1]) != doc_paragraph) w.put("\n", 1);
                break;
            case doc_option: {
                const char* option = or_empty(r->option);
                const long long len = static_cast<long long>(std::strlen(option));
                w.put(option);
                w.spaces(std::max(1LL, m + 1 - len));
                if (n == 0) {
                    w.put("\n\n", 2);
                    break;
                }
                char modes[doc_mode_string_size];
                doc_mode_string(static_cast<uint32_t>(r->modes), letters, n, modes);
                w.put(modes);
                w.put(" ", 1);
                w.words(text, first_column, indent);
                w.put("\n\n", 2);
                break;
            }
            default:
                break;
        }
    }
    return 1;
}

int doc_render_console(const doc_row* table, int, const char* letters, int width) {
    return doc_write_console(stdout, table, letters, width ? width : platform_console_width());
}

char* doc_adoc_escape(const char* text) {
    text = or_empty(text);
    auto dropped = [](unsigned char c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; };
    size_t size = 1;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        size += c == '*' ? 5 : c == '|' ? 2 : dropped(c) ? 0 : 1;
    }
    char* out = static_cast<char*>(std::malloc(size));
    if (!out) return nullptr;
    char* o = out;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '*') {
            std::memcpy(o, "&#42;", 5);
            o += 5;
        } else if (c == '|') {
            *o++ = '\\';
            *o++ = '|';
        } else if (!dropped(c)) {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

void doc_adoc_heading(str_buf* b, int level, const char* text) {
    for (int i = 0; i < level; ++i) add(b, "=");
    add(b, " %s\n", or_empty(text));
}

void doc_adoc_inline(str_buf* b, const char* text) {
    const char* p = or_empty(text);
    while (*p) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        // A word runs to a space outside double quotes.
        const char* start = p;
        bool quoted = false;
        while (*p && (quoted || *p != ' ')) {
            if (*p == '"') quoted = !quoted;
            ++p;
        }
        const char sep = *p;
        char word[doc_word_cut + 1];
        const size_t len = std::min(static_cast<size_t>(p - start), doc_word_cut);
        std::memcpy(word, start, len);
        word[len] = '\0';
        char* e = doc_adoc_escape(word);
        if (e) {
            inline_word(b, e, sep);
            std::free(e);
        } else {
            b->flags |= str_buf_failed;  // the word is missing from the text
        }
        if (*p) ++p;
    }
}

int doc_build_asciidoc(str_buf* b, const char* banner, const char* title, const doc_row* table,
                       const char* letters) {
    const int n = letters ? static_cast<int>(strnlen(letters, doc_max_letters)) : 0;
    doc_adoc_heading(b, 2, title);
    add(b, "%s\n\n", or_empty(banner));
    for (const doc_row* r = table; kind_of(*r) != doc_end; ++r) {
        switch (kind_of(*r)) {
            case doc_heading: {
                char* e = doc_adoc_escape(r->text);
                if (!e) b->flags |= str_buf_failed;
                doc_adoc_heading(b, 3, e ? e : "");
                std::free(e);
                break;
            }
            case doc_paragraph:
                doc_adoc_inline(b, r->text);
                // A run of paragraphs is one AsciiDoc paragraph with hard breaks.
                if (kind_of(r[1]) == doc_paragraph) {
                    add(b, " +\n");
                } else {
                    add(b, "\n\n");
                }
                break;
            case doc_table_start:
                add(b, "[cols=\"90%%,10%%\"]\n|===\n");
                break;
            case doc_option: {
                char* e = doc_adoc_escape(r->option);
                if (!e) b->flags |= str_buf_failed;
                char modes[doc_mode_string_size];
                doc_mode_string(static_cast<uint32_t>(r->modes), letters, n, modes);
                add(b, "|*%s* | *%s*\n", e ? e : "", modes);
                std::free(e);
                add(b, "2+|");
                doc_adoc_inline(b, r->text);
                add(b, "\n");
                break;
            }
            case doc_table_end:
                add(b, "|===\n");
                break;
            default:
                break;
        }
    }
    return b->data && !(b->flags & str_buf_failed) ? 1 : 0;
}

int doc_render_asciidoc(const char* banner, const char* title, const doc_row* table,
                        const char* letters) {
    str_buf b;
    const int whole = doc_build_asciidoc(&b, banner, title, table, letters);
    // A document with pieces missing is not written at all.
    if (whole) std::fwrite(b.data, 1, b.length, stdout);
    str_buf_release(&b);
    return whole;
}

}  // namespace ostrel
