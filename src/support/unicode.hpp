// Code points that show as nothing, which no address may hold: the table is
// generated from the Unicode database (tools/gen_unicode_invisible.py).
#pragma once

#include <cstddef>
#include <string_view>

namespace ostrel {

struct uni_range {
    char32_t first;
    char32_t last;
};

// Ascending and apart: controls (C0, DEL, C1), format characters, spaces and
// separators (U+0020 among them), surrogates and noncharacters.
extern const uni_range uni_invisible_table[];
extern const size_t uni_invisible_count;

bool uni_is_invisible(char32_t cp);
// True when the text is UTF-8 throughout and holds no invisible code point.
bool uni_all_visible(std::string_view text);

}  // namespace ostrel
