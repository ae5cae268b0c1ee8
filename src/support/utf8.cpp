#include "support/utf8.hpp"

namespace ostrel {

size_t utf8_decode(const unsigned char* p, size_t len, char32_t* cp) {
    if (len == 0) return 0;
    const size_t n = utf8_lead_length(p[0]);
    if (n == 0 || n > len) return 0;
    if (n == 1) {
        *cp = p[0];
        return 1;
    }
    // The lead byte keeps 7 - n bits of the value, each continuation byte 6.
    char32_t v = p[0] & (0x7Fu >> n);
    for (size_t k = 1; k < n; ++k) {
        if (!utf8_is_continuation(p[k])) return 0;
        v = (v << 6) | (p[k] & 0x3Fu);
    }
    static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < least[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

size_t utf8_sequence_start(const char* text, size_t k) {
    size_t j = k;
    while (j > 0 && k - j < 3 && utf8_is_continuation(static_cast<unsigned char>(text[j]))) --j;
    return j;
}

}  // namespace ostrel
