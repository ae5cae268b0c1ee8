#include "support/unicode.hpp"

#include <algorithm>

#include "support/utf8.hpp"

namespace ostrel {

bool uni_is_invisible(char32_t cp) {
    const uni_range* end = uni_invisible_table + uni_invisible_count;
    // The first range that ends at or after cp is the only one that may hold it.
    const uni_range* r = std::lower_bound(
        uni_invisible_table, end, cp, [](const uni_range& x, char32_t c) { return x.last < c; });
    return r != end && r->first <= cp;
}

bool uni_all_visible(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const size_t n = utf8_decode(p + i, text.size() - i, &cp);
        if (n == 0 || uni_is_invisible(cp)) return false;
        i += n;
    }
    return true;
}

}  // namespace ostrel
