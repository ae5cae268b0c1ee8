// Transfer encodings over caller buffers: base64 and base64url, a base64
// decoder for both alphabets, uuencode lines, yEnc, quoted-printable and
// percent-encoding. Nothing allocates; only str_url_encode terminates.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

// uuencode, base64 and base64url alphabets, 64 characters each, in a row.
extern const char b64_alphabets[3 * 64 + 1];
// Both base64 alphabets to their values; every other byte (and "=") is 0.
extern const std::array<uint8_t, 256> b64_decode_table;
// Each byte value as two upper-case hex digits.
extern const std::array<std::array<char, 3>, 256> mime_qp_hex_table;

struct str_url_escape {
    uint8_t length;  // 1: kept as it is, 3: written as text
    char text[4];    // "%" and two lower-case hex digits
};
// Letters, digits, "!$'()*,-.;_" and the space are kept; "+" is escaped.
extern const std::array<str_url_escape, 256> str_url_escape_table;

// A percent-encoding table that keeps the ASCII letters and digits and the
// bytes of kept, and writes every other byte as "%" and two lower-case hex
// digits.
constexpr std::array<str_url_escape, 256> str_url_make_table(std::string_view kept) {
    constexpr char hex[] = "0123456789abcdef";
    std::array<str_url_escape, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const bool alnum =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alnum || kept.find(static_cast<char>(c)) != std::string_view::npos)
            t[c] = {1, {static_cast<char>(c), '\0', '\0', '\0'}};
        else
            t[c] = {3, {'%', hex[c >> 4], hex[c & 15], '\0'}};
    }
    return t;
}

// Room the caller gives: 4 per 3 bytes rounded up.
int b64_encode(const uint8_t* in, int len, char* out);
int b64_encode(const char* in, int len, char* out);
// Base64 in lines of 76 characters (57 input bytes each), every line ended
// by CR LF, appended to out.
void b64_encode_lines(const uint8_t* in, size_t len, std::string* out);
// Without padding: 2, 3 or 4 characters per group.
int b64_url_encode(const uint8_t* in, int len, char* out);
int b64_url_encode(const char* in, int len, char* out);
// Takes both alphabets. Writes whole groups: out needs 3 * ceil(len / 4)
// bytes; the result may be smaller.
int b64_decode(const char* in, int len, uint8_t* out);
inline int b64_decode_room(int len) {
    return len > 0 ? 3 * ((len + 3) / 4) : 0;
}

// One line body: the length character and 4 per 3 bytes; 0 when len > 45.
int mime_uu_encode_line(const uint8_t* in, int len, char* out);
// At most 2 characters per byte.
int mime_yenc_encode(const uint8_t* in, int len, char* out);

// Streaming quoted-printable encoder. The caller keeps column and pending
// across the slices of one stream, zeroed before the first, and ends the
// stream with a call whose in is NULL. Room: 9 per byte, 6 for the ending
// call. No output line exceeds 76 characters; text mode turns CR LF into
// hard breaks and keeps a space or tab before them as =20 or =09.
int mime_qp_encode(uint32_t* column, uint8_t* pending, const uint8_t* in, int len, char* out,
                   int text_mode);
// Decodes len bytes (nothing past them is read). Text mode: in is one line
// without its end, and CR LF is written after it unless it ended in "=".
// Room: len + 2. Binary mode returns 0 when the input ends in "=".
int mime_qp_decode(const char* in, int len, uint8_t* out, int text_mode);

// Percent-encodes text (NULL: "") through table into out, bounded by size
// and terminated; an escape that does not fit whole is not written, nor
// anything after it. Returns out.
char* str_url_encode_with(const std::array<str_url_escape, 256>& table, const char* text, char* out,
                          int size);
// The same through str_url_escape_table.
char* str_url_encode(const char* text, char* out, int size);

}  // namespace ostrel
