// Unique tokens, boundaries and Message-IDs; Content-ID URL encoding; RFC 2047
// encoded words; the handle's last error text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ostrel {

struct mail_handle;

// 16 base64url characters and a NUL: out holds at least 17 bytes.
char* mime_random_token(char* out);
// "==" token "==": out holds at least 21 bytes.
char* mime_make_boundary(char* out);
// "<token@domain>" cut to size bytes.
char* msg_make_message_id(char* out, size_t size, const char* from_address);
char* mime_url_encode(const char* text, char* out, int size);
int str_has_nonprintable(const char* text);
// The text as it may stand in a header: a copy, or encoded words when it holds
// control bytes or bytes from 0x7F on. NULL for a NULL text.
std::optional<std::string> mime_encode_word(const char* text);
void mail_set_error_text(mail_handle* h, std::optional<std::string> text);

}  // namespace ostrel
