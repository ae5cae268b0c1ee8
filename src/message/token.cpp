// Unique tokens and the texts made from them, Content-ID URL encoding and
// RFC 2047 encoded words.
#include "message/token.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "model/handle.hpp"
#include "support/encode.hpp"
#include "support/lock.hpp"
#include "support/rand_mt.hpp"
#include "support/str.hpp"
#include "support/utf8.hpp"

namespace ostrel {

namespace {

void put_le32(uint8_t* p, uint32_t w) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(w >> (8 * i));
}

// The three draws and the counter step, under the global mail lock. Without
// a generator (global initialisation not run) only the counter varies.
void draw_token_words(uint32_t w[3]) {
    if (mail_global_lock) lock_acquire(mail_global_lock);
    rand_mt_state* rs = mail_rand_state;
    w[0] = rs ? rand_mt_next(rs) : 0;
    w[1] = ((rs ? rand_mt_next(rs) : 0) & 0xFFFF0000u) | (mail_token_counter & 0xFFFFu);
    w[2] = rs ? rand_mt_next(rs) : 0;
    ++mail_token_counter;
    if (mail_global_lock) lock_release(mail_global_lock);
}

bool needs_encoding(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if ((*p < 0x20 && *p != '\t') || *p >= 0x7F) return true;
    return false;
}

// "=?utf-8?B?" + 60 base64 characters + "?=" is the 75-character limit of
// one encoded word: 45 bytes of text.
constexpr size_t word_text_max = 45;
constexpr std::string_view word_open = "=?utf-8?B?";
constexpr std::string_view word_close = "?=";

// Bytes of text for the next word: at most word_text_max, ending before the
// sequence that the first byte left over belongs to. That byte exists only
// while more text follows, so nothing past the text is looked at. A run of
// more than three continuation bytes is no character and is cut anywhere.
size_t next_word_length(std::string_view text) {
    if (text.size() <= word_text_max) return text.size();
    size_t n = utf8_sequence_start(text.data(), word_text_max);
    return utf8_is_continuation(static_cast<unsigned char>(text[n])) ? word_text_max : n;
}

}  // namespace

const std::array<str_url_escape, 256> mime_url_encode_table = str_url_make_table("!$'()*+,-.;_");

char* mime_random_token(char* out) {
    uint32_t w[3];
    draw_token_words(w);
    uint8_t bytes[12];
    for (int i = 0; i < 3; ++i) put_le32(bytes + 4 * i, w[i]);
    int n = b64_url_encode(bytes, 12, out);
    out[n] = '\0';
    return out;
}

char* mime_random_token_twin(char* out) {
    return mime_random_token(out);
}

char* mime_make_boundary(char* out) {
    out[0] = out[1] = '=';
    mime_random_token(out + 2);
    std::memcpy(out + 18, "==", 3);
    return out;
}

char* msg_make_message_id(char* out, size_t size, const char* from_address) {
    if (size == 0) return out;
    char token[17];
    mime_random_token(token);
    const char* at = from_address ? std::strchr(from_address, '@') : nullptr;
    const char* domain = at ? at + 1 : "";
    // "<", the token, "@" and ">" take 19 bytes and the NUL one: an over-long
    // domain is cut so that the closing bracket always stays.
    size_t room = size > 20 ? size - 20 : 0;
    int domain_len = static_cast<int>(std::min(std::strlen(domain), room));
    str_sprintf(out, size, "<%s@%.*s>", token, domain_len, domain);
    return out;
}

char* mime_url_encode(const char* text, char* out, int size) {
    return str_url_encode_with(mime_url_encode_table, text, out, size);
}

std::string mime_encoded_words(std::string_view text, std::string_view separator) {
    std::string out;
    const size_t words = (text.size() + word_text_max - 1) / word_text_max;
    out.reserve(words * (word_open.size() + 60 + word_close.size() + separator.size()));
    char b64[60];
    while (!text.empty()) {
        size_t n = next_word_length(text);
        if (!out.empty()) out += separator;
        out += word_open;
        int len =
            b64_encode(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(n), b64);
        out.append(b64, static_cast<size_t>(len));
        out += word_close;
        text.remove_prefix(n);
    }
    return out;
}

std::optional<std::string> mime_encode_word(const char* text) {
    if (!text) return std::nullopt;
    if (!needs_encoding(text)) return std::string(text);
    return mime_encoded_words(text, "\r\n ");
}

std::string mime_decode_words(std::string_view text) {
    std::string out;
    std::string_view rest = text;
    for (;;) {
        while (!rest.empty() && std::strchr(" \t\r\n", rest.front())) rest.remove_prefix(1);
        if (rest.empty()) return out;
        if (!rest.starts_with(word_open)) return std::string(text);
        rest.remove_prefix(word_open.size());
        const size_t close = rest.find(word_close);
        if (close == std::string_view::npos) return std::string(text);
        std::vector<uint8_t> bytes(static_cast<size_t>(b64_decode_room(static_cast<int>(close))));
        const int n = b64_decode(rest.data(), static_cast<int>(close), bytes.data());
        out.append(reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(n));
        rest.remove_prefix(close + word_close.size());
    }
}

}  // namespace ostrel
