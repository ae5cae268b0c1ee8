// Bounded strings and text utilities: copies into fixed caller buffers, ASCII
// case folding, tokenisers, line and word-wrap scanners, whole-stream readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

// Entry i is i, except that "a".."z" fold to "A".."Z".
extern const uint32_t str_upper_fold_table[256];

char* str_tolower(char* text);
char* str_toupper(char* text);
int str_char_tolower(int byte);
int str_char_toupper(int byte);
int str_abs(int value);

// Size is always the size of the whole destination buffer, terminator included.
// A size of 0 writes nothing and returns NULL; otherwise the text is cut
// silently and always terminated.
char* str_copy(char* dst, const char* src, size_t size);
char* str_append(char* dst, const char* src, size_t size);
char* str_append_int(char* dst, int value, size_t size);
char* str_append_u64(char* dst, uint64_t value, size_t size);
char* str_append_char(char* dst, int byte, size_t size);
// The runtime's vsnprintf into a buffer of the given size; returns what
// vsnprintf returns.
int str_sprintf(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// 0 when equal ignoring ASCII case, else the signed 1-based position of the
// first difference (negative when a sorts first).
int str_casecmp(const char* a, const char* b);
int str_ncasecmp(const char* a, const char* b, int n);
// text itself when sub occurs in it ignoring case, else NULL.
const char* str_casestr(const char* text, const char* sub);

char* str_reverse(char* text);
char* str_chomp(char* text);
const char* str_keep_alnum(const char* src, char* dst);

char* str_tok(char* text, const char* delims, char** save);
char* str_tok_quoted(char* text, const char* delims, char quote, char** save);
const char* str_token_quoted(const char* text, const char* delims, char quote, const char** save,
                             uint32_t* len);

// First byte of text that is in set; end is the last position examined
// (nullptr: no limit). *out receives the position where the scan stopped.
const char* str_find_any(const char* text, const char* set, const char** out, const char* end);
// Next line of a text (its length without the line end in *len). With end
// given, nothing at or past end is read.
const char* str_next_line(const char** cursor, uint32_t* len, const char* end);
// out must have room for width + 1 bytes.
char* str_wrap_line(const char** cursor, char* out, int width);

// Whole-stream readers; the result is malloc'd and NUL-terminated, NULL when
// memory runs out or the stream fails. The caller frees it. Lines read as
// text refuse a NUL byte (NULL), which would cut the text unseen.
char* file_read_stream(FILE* stream, size_t* len);
char* file_read_lines_crlf(FILE* stream);

// A whole stream into *out: file_text_crlf makes every line end CRLF,
// file_text_no_nul refuses a NUL byte. A regular file is held in one
// allocation of about its size. Throws std::bad_alloc when memory runs out.
enum : int {
    file_text_ok = 0,
    file_text_read_error = 1,
    file_text_nul_byte = 2,
    file_text_no_memory = 3,
};
enum : int { file_text_crlf = 1, file_text_no_nul = 2 };
int file_read_text(FILE* stream, int flags, std::string* out);

// Owner of a malloc'd text such as the readers above return.
struct str_free_deleter {
    void operator()(char* p) const { std::free(p); }
};
using c_text = std::unique_ptr<char, str_free_deleter>;

// The value in base 2 to 36, lower-case digits; out holds 65 bytes for base
// 2. Another base gives "".
char* str_from_u64_base(uint64_t value, int base, char* out);

// A text that may be NULL, as a C string for interfaces that take one.
inline const char* str_or_null(const std::optional<std::string>& s) {
    return s ? s->c_str() : nullptr;
}
// True for a text that is neither NULL nor empty.
inline bool str_non_empty(const char* s) {
    return s && *s;
}

// 1 when no byte of the text is 0x80 or above (a NULL text too).
int str_is_7bit(const char* s);

// 1 when the text holds a byte outside " " to "~" (a NULL text: 0).
int str_has_nonprintable(const char* text);

// Text the program did not make (a peer's reply, a received trace line, a
// value quoted back in an error line) as it may reach a terminal: every C0
// control but TAB, DEL and every C1 control become "\xNN" of the code point,
// lower-case (ESC is "\x1b"), so the peer cannot drive the terminal. A C1
// control counts whether it comes as UTF-8 (C2 80 to C2 9F) or as a lone
// byte 0x80-0x9F outside any valid sequence, which some terminals take for
// a control (0x9B as CSI). Every other byte, valid UTF-8 or not, is kept.
std::string str_escape_controls(std::string_view text);
// The same for a C string; NULL gives "".
inline std::string str_escape_controls(const char* text) {
    return text ? str_escape_controls(std::string_view(text)) : std::string();
}

}  // namespace ostrel
