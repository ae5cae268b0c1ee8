#include "support/mime_types.hpp"

#include <cstring>

#include "support/str.hpp"

namespace ostrel {

namespace {

char* row_type(const mime_type_row& r, char* out) {
    str_copy(out, mime_type_words[r.type], mime_type_out_size);
    str_append(out, "/", mime_type_out_size);
    str_append(out, mime_type_words[r.sub1], mime_type_out_size);
    for (int16_t sub : {r.sub2, r.sub3}) {
        if (sub < 0) break;
        str_append(out, ".", mime_type_out_size);
        str_append(out, mime_type_words[sub], mime_type_out_size);
    }
    return out;
}

}  // namespace

char* mime_type_by_extension(const char* name, char* out) {
    const char* dot = name ? std::strrchr(name, '.') : nullptr;
    if (dot) {
        // Only an extension shorter than the buffer can match a row.
        char ext[mime_type_out_size];
        str_tolower(str_copy(ext, dot + 1, sizeof ext));
        for (const mime_type_row* r = mime_type_table; r->extension; ++r)
            if (std::strcmp(r->extension, ext) == 0) return row_type(*r, out);
    }
    str_copy(out, "application/octet-stream", mime_type_out_size);
    return out;
}

}  // namespace ostrel
