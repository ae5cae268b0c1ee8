// Unique tokens, boundaries and Message-IDs; Content-ID URL encoding; RFC 2047
// encoded words.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "support/encode.hpp"

namespace ostrel {

struct mail_handle;

// 16 base64url characters and a NUL: out holds at least 17 bytes.
char* mime_random_token(char* out);
char* mime_random_token_twin(char* out);
// "==" token "==": out holds at least 21 bytes.
char* mime_make_boundary(char* out);
// "<token@domain>" with the From address's domain; a domain too long for
// size bytes is cut so the closing ">" always stays.
char* msg_make_message_id(char* out, size_t size, const char* from_address);
// Content-ID characters: ! $ ' ( ) * + , - . 0-9 ; A-Z _ a-z stay as they
// are, every other byte becomes "%" and two lower-case hex digits.
extern const std::array<str_url_escape, 256> mime_url_encode_table;
// Stops before the byte whose replacement would make the output reach size
// bytes; always terminated (size >= 1).
char* mime_url_encode(const char* text, char* out, int size);
// The text as it may stand in a header: a copy, or, when it holds control
// bytes other than HT or bytes from 0x7F on, "=?utf-8?B?...?=" words of at
// most 75 characters joined by CRLF SP, split between UTF-8 characters.
// NULL for a NULL text.
std::optional<std::string> mime_encode_word(const char* text);
// The text as "=?utf-8?B?...?=" words of at most 75 characters (45 bytes of
// text each), with separator between them. A word ends before the sequence
// that the next byte belongs to, so none splits a UTF-8 character; stray
// bytes are cut as bytes. Nothing past the text is read.
std::string mime_encoded_words(std::string_view text, std::string_view separator);
// The text that mime_encode_word made words of: the bytes of a text made
// only of "=?utf-8?B?...?=" words and the blanks and line breaks between
// them; any other text as it is.
std::string mime_decode_words(std::string_view text);

}  // namespace ostrel
