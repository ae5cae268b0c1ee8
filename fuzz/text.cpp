// Encoded words, UTF-8 stepping, tokenisers and the word-wrap scanner on
// hostile text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/token.hpp"
#include "support/str.hpp"
#include "support/utf8.hpp"

using namespace ostrel;

namespace {

void tokenise(std::string text, const std::string& delims, char quote) {
    std::string copy = text;
    char* save = nullptr;
    for (char* t = str_tok(copy.data(), delims.c_str(), &save); t;
         t = str_tok(nullptr, delims.c_str(), &save)) {
    }
    copy = text;
    save = nullptr;
    for (char* t = str_tok_quoted(copy.data(), delims.c_str(), quote, &save); t;
         t = str_tok_quoted(nullptr, delims.c_str(), quote, &save)) {
    }
    const char* csave = nullptr;
    uint32_t len = 0;
    for (const char* t = str_token_quoted(text.c_str(), delims.c_str(), quote, &csave, &len); t;
         t = str_token_quoted(nullptr, delims.c_str(), quote, &csave, &len)) {
        if (t + len > text.c_str() + text.size()) __builtin_trap();
    }
}

// Every encoded word stays within 75 characters, starts on a UTF-8
// character and decodes back to the text.
void check_words(const std::string& text) {
    std::optional<std::string> w = mime_encode_word(text.c_str());
    if (!w) __builtin_trap();
    bool encode = false;
    for (unsigned char c : text) encode = encode || (c < 0x20 && c != '\t') || c >= 0x7F;
    if (!encode) {
        if (*w != text) __builtin_trap();  // nothing to encode: a copy
        return;
    }
    std::string back;
    size_t start = 0;
    for (;;) {
        size_t end = w->find("\r\n ", start);
        std::string word = w->substr(start, end == std::string::npos ? end : end - start);
        if (word.size() > 75 || word.compare(0, 10, "=?utf-8?B?") != 0 ||
            word.compare(word.size() - 2, 2, "?=") != 0)
            __builtin_trap();
        std::string b64 = word.substr(10, word.size() - 12);
        std::vector<uint8_t> bytes(
            static_cast<size_t>(b64_decode_room(static_cast<int>(b64.size()))));
        int n = b64_decode(b64.data(), static_cast<int>(b64.size()), bytes.data());
        back.append(reinterpret_cast<char*>(bytes.data()), static_cast<size_t>(n));
        if (end == std::string::npos) break;
        start = end + 3;
    }
    if (back != text) __builtin_trap();
}

// The word maker over a text with nothing after it (ASan sees a read past
// the end): the words carry exactly the text, and no cut falls inside a
// well-formed character.
void check_word_cuts(const std::vector<char>& text) {
    const std::string_view view(text.data(), text.size());
    const std::string words = mime_encoded_words(view, " ");
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::string back;
    size_t start = 0;
    while (start < words.size()) {
        size_t end = words.find(' ', start);
        if (end == std::string::npos) end = words.size();
        if (end - start > 75) __builtin_trap();
        std::string b64 = words.substr(start + 10, end - start - 12);
        std::vector<uint8_t> bytes(
            static_cast<size_t>(b64_decode_room(static_cast<int>(b64.size()))));
        int n = b64_decode(b64.data(), static_cast<int>(b64.size()), bytes.data());
        back.append(reinterpret_cast<char*>(bytes.data()), static_cast<size_t>(n));
        const size_t cut = back.size();
        for (size_t i = cut >= 3 ? cut - 3 : 0; i < cut; ++i) {
            char32_t cp;
            if (i + utf8_decode(p + i, text.size() - i, &cp) > cut) __builtin_trap();
        }
        start = end + 1;
    }
    if (back != view) __builtin_trap();
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp;
        size_t n = utf8_decode(p + i, text.size() - i, &cp);
        if (n > 4 || i + n > text.size() || (n && cp > 0x10FFFF)) __builtin_trap();
        size_t j = utf8_sequence_start(text.data(), i);
        if (j > i || i - j > 3) __builtin_trap();
    }
}

void wrap(const std::string& text, int width) {
    std::vector<char> out(static_cast<size_t>(width < 1 ? 1 : width) + 1);
    const char* cursor = text.c_str();
    for (int guard = 0; cursor; ++guard) {
        if (guard > static_cast<int>(text.size()) + 2) __builtin_trap();  // no progress
        str_wrap_line(&cursor, out.data(), width);
        if (std::strlen(out.data()) > static_cast<size_t>(width < 1 ? 1 : width)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const int mode = fdp.ConsumeIntegralInRange(0, 4);
    switch (mode) {
        case 0: {
            std::string s = fdp.ConsumeRemainingBytesAsString();
            check_words(s.c_str());
            break;
        }
        case 1: {
            std::string delims = fdp.ConsumeRandomLengthString(4);
            char quote = fdp.ConsumeIntegral<char>();
            tokenise(fdp.ConsumeRemainingBytesAsString().c_str(), delims, quote);
            break;
        }
        case 2: {
            int width = fdp.ConsumeIntegralInRange(-2, 100);
            wrap(fdp.ConsumeRemainingBytesAsString().c_str(), width);
            break;
        }
        case 3: {
            std::string s = fdp.ConsumeRemainingBytesAsString();
            const char* cursor = s.c_str();
            const char* end = s.c_str() + s.size() / 2;
            uint32_t len = 0;
            while (const char* line = str_next_line(&cursor, &len, end))
                if (line + len > end) __builtin_trap();
            std::vector<char> cid(1 + s.size() % 64);
            mime_url_encode(s.c_str(), cid.data(), static_cast<int>(cid.size()));
            break;
        }
        case 4:
            check_word_cuts(fdp.ConsumeRemainingBytes<char>());
            break;
    }
    return 0;
}
