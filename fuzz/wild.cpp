// The wildcard matcher and its list forms on hostile patterns and texts. For
// small inputs the answer must equal that of a plain recursive matcher, which
// tries every position after each "*" without remembering anything.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "support/str.hpp"
#include "support/wild.hpp"

using namespace ostrel;

namespace {

int fold(unsigned char c, bool exact) {
    return exact ? c : str_char_tolower(c);
}

bool naive(const unsigned char* t, const unsigned char* p, bool exact) {
    for (;;) {
        if (!*p) return !*t;
        if (*p == '?') {
            if (!*t) return false;
            ++t, ++p;
        } else if (*p == '*') {
            while (*p == '*') ++p;
            if (!*p) return true;
            for (;; ++t) {
                if (t[0] == '*' && !t[1]) return true;
                if (naive(t, p, exact)) return true;
                if (!*t) return false;
            }
        } else if (*p == '[') {
            if (!*t) return false;
            ++p;
            bool neg = *p == '^';
            if (neg) ++p;
            auto ch = static_cast<signed char>(fold(*t, exact));
            bool hit = false, has = false;
            signed char start = 0;
            while (*p && *p != ']') {
                if (*p == '-' && p[1] && p[1] != ']') {
                    auto end = static_cast<signed char>(fold(p[1], exact));
                    if (has && start <= ch && ch <= end) hit = true;
                    start = end, has = true, p += 2;
                } else {
                    auto m = static_cast<signed char>(fold(*p, exact));
                    if (m == ch) hit = true;
                    start = m, has = true, ++p;
                }
            }
            if (*p) ++p;
            if (hit == neg) return false;
            ++t;
        } else {
            if (*p == '\\') {
                if (!p[1]) return !*t;
                ++p;
            }
            if (!*t || fold(*t, exact) != fold(*p, exact)) return false;
            ++t, ++p;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int exact = in.ConsumeBool() ? 1 : 0;
    std::string text = in.ConsumeRandomLengthString(4096);
    std::string pattern = in.ConsumeRemainingBytesAsString();
    text = text.c_str();  // the matcher sees C strings
    pattern = pattern.c_str();

    int got = str_wild_match(text.c_str(), pattern.c_str(), exact);
    if (got != 0 && got != 1) __builtin_trap();
    size_t stars = 0;
    for (char c : pattern) stars += c == '*';
    if (stars <= 4 && text.size() <= 24) {
        bool want = naive(reinterpret_cast<const unsigned char*>(text.c_str()),
                          reinterpret_cast<const unsigned char*>(pattern.c_str()), exact != 0);
        if (got != (want ? 1 : 0)) __builtin_trap();
    }
    if (str_wild_match_star(text.c_str(), pattern.c_str(), exact) != (text == "*" ? 1 : got))
        __builtin_trap();

    // The pattern as a comma list, and the text as a list of items.
    str_wild_all_csv(text.c_str(), pattern.c_str(), exact);
    str_wild_list_csv(text.c_str(), pattern.c_str(), exact);
    char out[64];
    if (str_wild_find_csv(text.c_str(), pattern.c_str(), out, sizeof out, exact) &&
        std::strlen(out) >= sizeof out)
        __builtin_trap();
    return 0;
}
