#include "support/mime_types.hpp"

#include <cstring>
#include <string_view>

namespace ostrel {

namespace {

// Appends text to out (holding used bytes), cut to the buffer and terminated.
size_t append_bounded(char* out, size_t used, std::string_view text) {
    size_t room = mime_type_out_size - 1 - used;
    size_t n = text.size() < room ? text.size() : room;
    std::memcpy(out + used, text.data(), n);
    out[used + n] = '\0';
    return used + n;
}

char* row_type(const mime_type_row& r, char* out) {
    size_t n = append_bounded(out, 0, mime_type_words[r.type]);
    n = append_bounded(out, n, "/");
    n = append_bounded(out, n, mime_type_words[r.sub1]);
    for (int16_t sub : {r.sub2, r.sub3}) {
        if (sub < 0) break;
        n = append_bounded(out, n, ".");
        n = append_bounded(out, n, mime_type_words[sub]);
    }
    return out;
}

}  // namespace

char* mime_type_by_extension(const char* name, char* out) {
    const char* dot = name ? std::strrchr(name, '.') : nullptr;
    if (dot) {
        // Only an extension shorter than the buffer can match a row.
        char ext[mime_type_out_size];
        size_t n = 0;
        for (const char* p = dot + 1; *p && n < sizeof ext - 1; ++p, ++n)
            ext[n] = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
        ext[n] = '\0';
        for (const mime_type_row* r = mime_type_table; r->extension; ++r)
            if (std::strcmp(r->extension, ext) == 0) return row_type(*r, out);
    }
    append_bounded(out, 0, "application/octet-stream");
    return out;
}

}  // namespace ostrel
