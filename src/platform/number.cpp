#include "platform/number.hpp"

namespace ostrel {

namespace {

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Skips white space and a sign; returns the first digit position.
const char* skip_prefix(const char* p, bool* negative) {
    while (is_space(*p)) ++p;
    *negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    return p;
}

}  // namespace

int32_t plat_atoi(const char* text) {
    if (!text) return 0;
    bool negative;
    const char* p = skip_prefix(text, &negative);
    // The magnitude is capped one past INT32_MAX so that INT32_MIN stays reachable.
    constexpr int64_t cap = int64_t{INT32_MAX} + 1;
    int64_t value = 0;
    for (; is_digit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > cap) value = cap;
    }
    if (negative) return static_cast<int32_t>(-value);
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

uint64_t plat_strtoui64(const char* text) {
    if (!text) return 0;
    bool negative;
    const char* p = skip_prefix(text, &negative);
    uint64_t value = 0;
    bool overflow = false;
    for (; is_digit(*p); ++p) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) overflow = true;
        value = value * 10 + digit;
    }
    if (overflow) return UINT64_MAX;
    return negative ? 0 - value : value;
}

}  // namespace ostrel
