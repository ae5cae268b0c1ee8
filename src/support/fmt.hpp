// The program's own printf engine: a small fixed set of conversions, backslash
// escapes read in the format, masked arguments, output handed to a sink in
// pieces; with its sinks, the growable string str_buf and the error-text slot.
//
// Arguments travel as a span of tagged values. The variadic front ends check
// the format against the argument types at compile time, so a wrong argument
// is a build error. Formats are always literals of the program; data travels
// only as arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

namespace ostrel {

enum class fmt_kind : uint8_t { i32, i64, f64, str };

// One argument of the engine.
struct fmt_arg {
    fmt_kind kind;
    union {
        int32_t i32;
        int64_t i64;
        double f64;
        const char* str;
    };
    constexpr fmt_arg(int v) : kind(fmt_kind::i32), i32(v) {}
    constexpr fmt_arg(unsigned v) : kind(fmt_kind::i32), i32(static_cast<int32_t>(v)) {}
    constexpr fmt_arg(char v) : kind(fmt_kind::i32), i32(static_cast<unsigned char>(v)) {}
    constexpr fmt_arg(long v) : kind(fmt_kind::i64), i64(v) {}
    constexpr fmt_arg(long long v) : kind(fmt_kind::i64), i64(v) {}
    constexpr fmt_arg(unsigned long v) : kind(fmt_kind::i64), i64(static_cast<int64_t>(v)) {}
    constexpr fmt_arg(unsigned long long v) : kind(fmt_kind::i64), i64(static_cast<int64_t>(v)) {}
    constexpr fmt_arg(double v) : kind(fmt_kind::f64), f64(v) {}
    constexpr fmt_arg(const char* v) : kind(fmt_kind::str), str(v) {}
    constexpr fmt_arg(std::nullptr_t) : kind(fmt_kind::str), str(nullptr) {}
    fmt_arg(const std::string& v) : kind(fmt_kind::str), str(v.c_str()) {}
    fmt_arg(bool) = delete;
};

using fmt_args = std::span<const fmt_arg>;

namespace fmt_detail {
template <typename T>
consteval fmt_kind kind_of() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        static_assert(!std::is_same_v<U, bool>, "bool is not a printf argument");
        return fmt_kind::i32;
    } else if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
        return sizeof(U) <= 4 ? fmt_kind::i32 : fmt_kind::i64;
    } else if constexpr (std::is_floating_point_v<U>) {
        return fmt_kind::f64;
    } else {
        static_assert(std::is_convertible_v<U, const char*> || std::is_same_v<U, std::string>,
                      "unsupported printf argument type");
        return fmt_kind::str;
    }
}

void format_does_not_match_arguments();  // never defined: a compile-time error

// Walks the format as the engine does and checks each taken argument's kind.
consteval void check(const char* f, const fmt_kind* kinds, size_t n) {
    size_t next = 0;
    auto take = [&](fmt_kind want) {
        if (next >= n || kinds[next] != want) format_does_not_match_arguments();
        ++next;
    };
    for (size_t i = 0; f[i];) {
        char c = f[i];
        if (c == '\\') {
            i += f[i + 1] ? 2 : 1;
            continue;
        }
        if (c != '%') {
            ++i;
            continue;
        }
        ++i;
        if (f[i] == '.' && f[i + 1] == '*') {
            take(fmt_kind::i32);
            i += 2;
        }
        c = f[i];
        if (!c) break;
        switch (c) {
            case 'c':
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'o':
            case 'b':
                take(fmt_kind::i32);
                break;
            case 'D':
            case 'I':
                take(fmt_kind::i64);
                break;
            case 's':
            case 'S':
                take(fmt_kind::str);
                break;
            case 'f':
                take(fmt_kind::f64);
                break;
            default:
                break;
        }
        ++i;
    }
    if (next != n) format_does_not_match_arguments();
}
}  // namespace fmt_detail

// A format literal checked against the argument types A...
template <typename... A>
struct fmt_format {
    const char* text;
    template <typename S>
    requires std::is_convertible_v<const S&, const char*>
    consteval fmt_format(const S& s) : text(s) {
        constexpr fmt_kind kinds[sizeof...(A) + 1] = {fmt_detail::kind_of<A>()..., fmt_kind::i32};
        fmt_detail::check(text, kinds, sizeof...(A));
    }
};
template <typename... A>
using fmt_string = fmt_format<std::type_identity_t<A>...>;

// The one output primitive of every sink: len bytes, NUL bytes included. The
// engine hands over its pieces in order; each is also NUL-terminated at len.
// A sink remembers a failure itself (stream error, growth failure, failed
// send) for whoever drives the writer to ask afterwards.
using fmt_sink = void (*)(void* ctx, const char* bytes, size_t len);
// The optional escaper; text is a one-character string or the boundary
// marker fmt_escaper_boundary.
using fmt_escaper = const char* (*)(const char* text, char* work);
inline const char* const fmt_escaper_boundary = reinterpret_cast<const char*>(1);
// Bytes of the work area an escaper is given (the same area for a whole run).
inline constexpr size_t fmt_escaper_work_size = 64;

// The engine itself. A NULL sink stands for fmt_sink_stdout.
void fmt_engine(fmt_sink sink, void* ctx, const uint8_t* mask, fmt_escaper esc, const char* format,
                fmt_args args);

// One emission step with the pending buffer's size as a parameter; a NULL
// piece hands the pending text to the sink. A piece of 4096 bytes or more goes
// to the sink as it stands, so it must be terminated at len.
void fmt_emit(char* buffer, size_t size, size_t* pending, int masked, fmt_sink sink, void* ctx,
              const char* piece, size_t len);

// The growable string. A zero-filled str_buf is a valid empty one.
struct str_buf {
    size_t capacity = 0;
    size_t length = 0;
    uint32_t flags = 0;  // bit 0: a growth failed, some text is missing
    char* data = nullptr;
};
inline constexpr uint32_t str_buf_failed = 1;

// Appends formatted text; returns data, or NULL when b is NULL, its first
// block cannot be allocated, or a growth failed during this or an earlier call.
char* str_buf_vappendf(str_buf* b, const char* format, fmt_args args);
template <typename... A>
char* str_buf_appendf(str_buf* b, fmt_string<A...> f, const A&... a) {
    const fmt_arg args[] = {fmt_arg(a)..., fmt_arg(0)};
    return str_buf_vappendf(b, f.text, fmt_args(args, sizeof...(A)));
}
// Appends raw bytes (NUL bytes included); 1, or 0 when the growth failed.
int str_buf_append(str_buf* b, const char* bytes, size_t len);
int str_buf_set_length(str_buf* b, ptrdiff_t n);
// Frees the text of a str_buf and empties it.
void str_buf_release(str_buf* b);
void fmt_sink_str_buf(void* ctx, const char* bytes, size_t len);  // ctx: str_buf*
// Failures stay in the stream's error indicator.
void fmt_sink_file(void* ctx, const char* bytes, size_t len);  // ctx: FILE*
void fmt_sink_stdout(void* ctx, const char* bytes, size_t len);

// Heap strings: appends to *p when p and *p are set, else makes a new string;
// the result (malloc'd, the caller frees it) is also stored in *p.
char* fmt_vasprintf(char** p, const uint8_t* mask, fmt_escaper esc, const char* format,
                    fmt_args args);
template <typename... A>
char* fmt_asprintf(char** p, fmt_string<A...> f, const A&... a) {
    const fmt_arg args[] = {fmt_arg(a)..., fmt_arg(0)};
    return fmt_vasprintf(p, nullptr, nullptr, f.text, fmt_args(args, sizeof...(A)));
}
template <typename... A>
void fmt_printf_to(fmt_sink sink, void* ctx, fmt_string<A...> f, const A&... a) {
    const fmt_arg args[] = {fmt_arg(a)..., fmt_arg(0)};
    fmt_engine(sink, ctx, nullptr, nullptr, f.text, fmt_args(args, sizeof...(A)));
}
template <typename... A>
void fmt_fprintf(FILE* stream, fmt_string<A...> f, const A&... a) {
    const fmt_arg args[] = {fmt_arg(a)..., fmt_arg(0)};
    fmt_engine(fmt_sink_file, stream, nullptr, nullptr, f.text, fmt_args(args, sizeof...(A)));
}
// The runtime's vfprintf on standard output (not the engine).
void fmt_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

void fmt_mask_set_bit(uint8_t* bitmap, uint32_t n, uint8_t on);
int fmt_mask_test(const uint8_t* bitmap, uint32_t n);

// Error-text slot: formats with the runtime's vsnprintf into 4096 bytes (the
// text is cut at 4095), frees the old text and keeps a copy. 1, or 0 when the
// copy cannot be made (the slot is then NULL / empty).
int str_set_printf(char** slot, const char* format, ...) __attribute__((format(printf, 2, 3)));
int str_set_printf(std::optional<std::string>& slot, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// "%f" of the value into out (size bytes, cut and terminated).
char* fmt_double(double value, char* out, size_t size);
// Digits written backwards from buffer[size - 2]; returns the first digit.
char* fmt_u64_radix(uint64_t value, int radix, char* buffer, int size);
char* fmt_i64_radix(int64_t value, int radix, char* buffer, int size);

}  // namespace ostrel
