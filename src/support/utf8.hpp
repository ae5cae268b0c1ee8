// UTF-8 sequences: what a byte opens or continues, decoding one character,
// and finding where the sequence under a position starts. Every walker over
// UTF-8 text in the program steps with these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ostrel {

// A byte of the form 10xxxxxx, which only continues a sequence.
constexpr bool utf8_is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// A byte that opens a sequence of two bytes or more, or claims to (0xF8-0xFF
// open none that is valid).
constexpr bool utf8_is_lead(unsigned char b) {
    return b >= 0xC0;
}

// Bytes of the sequence that b opens: 1 below 0x80, 2 for 0xC0-0xDF, 3 for
// 0xE0-0xEF, 4 for 0xF0-0xF7; 0 for a continuation byte and for 0xF8-0xFF,
// which open nothing.
constexpr size_t utf8_lead_length(unsigned char b) {
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 0;
}

// Decodes the character at the start of the len bytes at p: its length (1 to
// 4) with the code point in *cp, or 0 when the bytes there are no character
// (a byte that opens nothing, a missing continuation byte, an overlong form,
// a surrogate, a value past U+10FFFF). Nothing at or past p + len is read.
size_t utf8_decode(const unsigned char* p, size_t len, char32_t* cp);

// The position of the byte that opens the sequence text[k] belongs to: k
// when text[k] is no continuation byte; otherwise the nearest byte before it
// that is none, looking back at most three bytes (a sequence has no more
// continuation bytes) and never before text[0]. When those are all
// continuation bytes, the last position looked at. Reads text[k] and the
// three bytes before it at most.
size_t utf8_sequence_start(const char* text, size_t k);

// 3 when the text opens with the UTF-8 byte-order mark (EF BB BF), which a
// text file may begin with and which belongs to none of its lines; else 0.
constexpr size_t utf8_bom_length(std::string_view text) {
    return text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

}  // namespace ostrel
