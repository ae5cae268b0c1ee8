// The program's own printf engine, its sinks, str_buf and the error-text slot.
#include "support/fmt.hpp"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "support/str.hpp"

namespace ostrel {

namespace {

constexpr size_t pending_size = 4096;
// Pieces this long go to the sink as they stand instead of through the buffer.
constexpr size_t direct_piece = 4096;

void hand_over(char* buffer, size_t* pending, fmt_sink sink, void* ctx) {
    buffer[*pending] = '\0';
    sink(ctx, buffer, *pending);
    *pending = 0;
    buffer[0] = '\0';
}

// One run of the engine: its pending buffer and its place in the arguments.
class engine_run {
  public:
    engine_run(fmt_sink sink, void* ctx, const uint8_t* mask, fmt_escaper esc, fmt_args args)
        : sink_(sink ? sink : fmt_sink_stdout), ctx_(ctx), mask_(mask), esc_(esc), args_(args) {
        buffer_[0] = '\0';
    }

    void run(const char* f) {
        while (*f) {
            if (*f == '\\') {
                if (!f[1]) break;  // a lone backslash at the end ends the format
                escape(f[1]);
                f += 2;
            } else if (*f == '%') {
                f = conversion(f + 1);
                if (!f) break;
            } else {
                piece(f, 1, false);
                ++f;
            }
        }
        hand_over(buffer_, &pending_, sink_, ctx_);
    }

  private:
    void piece(const char* text, size_t len, bool masked) {
        fmt_emit(buffer_, sizeof buffer_, &pending_, masked, sink_, ctx_, text, len);
    }
    // A NULL text emits nothing but hands the pending text over.
    void piece(const char* text, bool masked) { piece(text, text ? std::strlen(text) : 0, masked); }

    void escape(char c) {
        const char* out = c == '\\'  ? "\\"
                          : c == 'n' ? "\n"
                          : c == 'r' ? "\r"
                          : c == 't' ? "\t"
                                     : nullptr;
        if (out) piece(out, 1, false);
    }

    // The next argument when it is of the wanted kind; a forwarded format that
    // does not match its arguments takes nothing rather than reading garbage.
    const fmt_arg* take(fmt_kind kind) {
        if (next_ >= args_.size() || args_[next_].kind != kind) return nullptr;
        return &args_[next_++];
    }

    // f points after the "%"; returns the position after the conversion, or
    // nullptr when the format ends inside it.
    const char* conversion(const char* f) {
        int count = -1;
        if (f[0] == '.' && f[1] == '*') {
            const fmt_arg* a = take(fmt_kind::i32);
            if (a) count = a->i32;
            ++counter_;
            f += 2;
        }
        const bool masked = mask_ && fmt_mask_test(mask_, counter_);
        const char c = *f;
        if (!c) return nullptr;
        convert(c, count, masked);
        ++counter_;
        return f + 1;
    }

    void convert(char c, int count, bool masked) {
        switch (c) {
            case '%':
                piece("%", 1, false);
                break;
            case 'c':
                character(masked);
                break;
            case 's':
                string(count, masked, esc_);
                break;
            case 'S':
                string(count, masked, nullptr);
                break;
            case 'd':
            case 'i':
                signed32(10, masked);
                break;
            case 'o':
                signed32(8, masked);
                break;
            case 'b':
                signed32(2, masked);
                break;
            case 'u':
                extended32(10, masked);
                break;
            case 'x':
                extended32(16, masked);
                break;
            case 'D':
            case 'I':
                signed64(masked);
                break;
            case 'f':
                floating(masked);
                break;
            default:
                break;  // no such conversion: nothing, and no argument
        }
    }

    void character(bool masked) {
        const fmt_arg* a = take(fmt_kind::i32);
        if (!a) return;
        const char text[2] = {static_cast<char>(a->i32 & 0xFF), '\0'};
        piece(text, text[0] ? 1 : 0, masked);
    }

    void number(int64_t v, int radix, bool masked) {
        char digits[72];
        piece(fmt_i64_radix(v, radix, digits, sizeof digits), masked);
    }
    void signed32(int radix, bool masked) {
        if (const fmt_arg* a = take(fmt_kind::i32)) number(a->i32, radix, masked);
    }
    void signed64(bool masked) {
        if (const fmt_arg* a = take(fmt_kind::i64)) number(a->i64, 10, masked);
    }
    // %u and %x: the 32-bit value sign-extended and shown unsigned.
    void extended32(int radix, bool masked) {
        const fmt_arg* a = take(fmt_kind::i32);
        if (!a) return;
        char digits[72];
        uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(a->i32));
        piece(fmt_u64_radix(v, radix, digits, sizeof digits), masked);
    }
    void floating(bool masked) {
        const fmt_arg* a = take(fmt_kind::f64);
        if (!a) return;
        char text[128];
        piece(fmt_double(a->f64, text, sizeof text), masked);
    }

    void string(int count, bool masked, fmt_escaper esc) {
        const fmt_arg* a = take(fmt_kind::str);
        if (!a) return;
        if (esc) {
            escaped(a->str, count, masked, esc);
        } else if (count < 0) {
            piece(a->str, masked);  // NULL: nothing, but the pending text goes out
        } else if (a->str) {
            for (int i = 0; i < count; ++i) {
                if (a->str[i]) piece(a->str + i, 1, masked);
            }
        }
    }

    void escaped(const char* s, int count, bool masked, fmt_escaper esc) {
        piece(esc(fmt_escaper_boundary, work_), masked);
        for (int i = 0; s && s[i] && (count < 0 || i < count); ++i) {
            const char one[2] = {s[i], '\0'};
            piece(esc(one, work_), masked);
        }
        piece(esc(fmt_escaper_boundary, work_), masked);
    }

    fmt_sink sink_;
    void* ctx_;
    const uint8_t* mask_;
    fmt_escaper esc_;
    fmt_args args_;
    size_t next_ = 0;
    uint32_t counter_ = 0;
    size_t pending_ = 0;
    char buffer_[pending_size];
    char work_[fmt_escaper_work_size] = {};
};

bool grow(str_buf* b, size_t need) {
    if (need < b->capacity) return true;
    size_t want = b->capacity * 2 > need ? b->capacity * 2 : need + 1;
    if (want <= need) {  // size overflow
        b->flags |= str_buf_failed;
        return false;
    }
    char* grown = static_cast<char*>(std::realloc(b->data, want));
    if (!grown) {
        b->flags |= str_buf_failed;
        return false;
    }
    b->data = grown;
    b->capacity = want;
    return true;
}

// A fresh block for a str_buf that has none; false when it cannot be had.
bool first_block(str_buf* b) {
    char* block = static_cast<char*>(std::malloc(1024));
    if (!block) return false;
    block[0] = '\0';
    b->data = block;
    b->capacity = 1024;
    b->length = 0;
    return true;
}

void format_4096(char (&buf)[4096], const char* format, va_list ap) {
    std::vsnprintf(buf, sizeof buf, format, ap);
    buf[sizeof buf - 1] = '\0';
}

}  // namespace

void fmt_engine(fmt_sink sink, void* ctx, const uint8_t* mask, fmt_escaper esc, const char* format,
                fmt_args args) {
    engine_run run(sink, ctx, mask, esc, args);
    run.run(format ? format : "");
}

void fmt_emit(char* buffer, size_t size, size_t* pending, int masked, fmt_sink sink, void* ctx,
              const char* piece, size_t len) {
    if (size == 0) return;  // no room even for the terminator
    if (!sink) sink = fmt_sink_stdout;
    if (*pending > size - 1) *pending = size - 1;
    if (!piece || masked) {
        hand_over(buffer, pending, sink, ctx);
        if (piece) {
            for (size_t i = 0; i < len; ++i) sink(ctx, "*", 1);
        }
        return;
    }
    if (*pending + len < size - 1) {
        std::memcpy(buffer + *pending, piece, len);
        *pending += len;
        buffer[*pending] = '\0';
        return;
    }
    hand_over(buffer, pending, sink, ctx);
    if (len >= direct_piece) {
        sink(ctx, piece, len);  // long pieces are whole strings, terminated at len
        return;
    }
    // Through the buffer, in as many turns as a small buffer needs.
    while (len > size - 1) {
        std::memcpy(buffer, piece, size - 1);
        *pending = size - 1;
        hand_over(buffer, pending, sink, ctx);
        piece += size - 1;
        len -= size - 1;
    }
    std::memcpy(buffer, piece, len);
    *pending = len;
    buffer[len] = '\0';
}

// ---- str_buf

int str_buf_append(str_buf* b, const char* bytes, size_t len) {
    if (len >= SIZE_MAX - b->length) {  // the size itself would overflow
        b->flags |= str_buf_failed;
        return 0;
    }
    if (!grow(b, b->length + len)) return 0;
    std::memcpy(b->data + b->length, bytes, len);
    b->length += len;
    b->data[b->length] = '\0';
    return 1;
}

char* str_buf_vappendf(str_buf* b, const char* format, fmt_args args) {
    if (!b) return nullptr;
    if (b->capacity == 0 && !first_block(b)) return nullptr;
    fmt_engine(fmt_sink_str_buf, b, nullptr, nullptr, format, args);
    return (b->flags & str_buf_failed) ? nullptr : b->data;
}

int str_buf_set_length(str_buf* b, ptrdiff_t n) {
    if (!b) return 0;
    size_t len;
    if (n >= 0) {
        if (static_cast<size_t>(n) > b->length) return 0;
        len = static_cast<size_t>(n);
    } else {
        size_t back = static_cast<size_t>(-(n + 1)) + 1;
        if (back > b->length) return 0;
        len = b->length - back;
    }
    b->length = len;
    // Keep the text terminated at its length, as every append does.
    if (b->data) b->data[len] = '\0';
    return 1;
}

void str_buf_release(str_buf* b) {
    std::free(b->data);
    *b = str_buf{};
}

void fmt_sink_str_buf(void* ctx, const char* bytes, size_t len) {
    str_buf_append(static_cast<str_buf*>(ctx), bytes, len);
}

void fmt_sink_file(void* ctx, const char* bytes, size_t len) {
    if (len) std::fwrite(bytes, 1, len, static_cast<FILE*>(ctx));
}

void fmt_sink_stdout(void*, const char* bytes, size_t len) {
    if (len) std::fwrite(bytes, 1, len, stdout);
}

char* fmt_vasprintf(char** p, const uint8_t* mask, fmt_escaper esc, const char* format,
                    fmt_args args) {
    str_buf b;
    if (p && *p) {
        // The first piece always reallocates: the block's true size is unknown.
        b.data = *p;
        b.capacity = b.length = std::strlen(*p);
    } else if (!first_block(&b)) {
        return nullptr;
    }
    fmt_engine(fmt_sink_str_buf, &b, mask, esc, format, args);
    if (b.flags & str_buf_failed) {
        // A text with pieces missing must not pass for the whole one.
        std::free(b.data);
        b.data = nullptr;
    }
    if (p) *p = b.data;
    return b.data;
}

void fmt_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
}

// ---- mask bitmap

void fmt_mask_set_bit(uint8_t* bitmap, uint32_t n, uint8_t on) {
    const uint8_t bit = static_cast<uint8_t>(1u << (n % 8));
    if (on) {
        bitmap[n / 8] |= bit;
    } else {
        bitmap[n / 8] &= static_cast<uint8_t>(~bit);
    }
}

int fmt_mask_test(const uint8_t* bitmap, uint32_t n) {
    return (bitmap[n / 8] >> (n % 8)) & 1;
}

// ---- error-text slot

int str_set_printf(char** slot, const char* format, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    format_4096(buf, format, ap);
    va_end(ap);
    std::free(*slot);
    *slot = strdup(buf);
    return *slot ? 1 : 0;
}

int str_set_printf(std::optional<std::string>& slot, const char* format, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    format_4096(buf, format, ap);
    va_end(ap);
    slot.reset();
    try {
        slot.emplace(buf);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

// ---- numbers

char* fmt_double(double value, char* out, size_t size) {
    if (size) str_sprintf(out, size, "%f", value);
    return out;
}

char* fmt_u64_radix(uint64_t value, int radix, char* buffer, int size) {
    if (radix < 2 || radix > 36 || size < 2) return nullptr;
    char* p = buffer + size - 1;
    *p = '\0';
    do {
        if (p == buffer) return nullptr;  // the digits do not fit
        int d = static_cast<int>(value % static_cast<unsigned>(radix));
        *--p = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        value /= static_cast<unsigned>(radix);
    } while (value);
    return p;
}

char* fmt_i64_radix(int64_t value, int radix, char* buffer, int size) {
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* p = fmt_u64_radix(magnitude, radix, buffer, size);
    if (!p || value >= 0) return p;
    if (p == buffer) return nullptr;
    *--p = '-';
    return p;
}

}  // namespace ostrel
