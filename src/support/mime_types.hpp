// Media type by file extension, for attachments whose type the user did not
// give: a constant table generated from data/mime.types.
#pragma once

#include <cstdint>

namespace ostrel {

inline constexpr int mime_type_word_count = 864;
inline constexpr int mime_type_row_count = 987;
inline constexpr int mime_type_out_size = 1024;

// The pieces of which type texts are made.
extern const char* const mime_type_words[mime_type_word_count];

// Type text: word[type] "/" word[sub1] ("." word[sub2] ("." word[sub3])).
struct mime_type_row {
    const char* extension;  // lower case, without the dot
    int16_t type;
    int16_t sub1;
    int16_t sub2;  // -1: none
    int16_t sub3;  // -1: none
};
// In descending order of type text, ended by a row with a NULL extension.
extern const mime_type_row mime_type_table[mime_type_row_count + 1];

// Writes the type of the name's last extension into out (1024 bytes,
// terminated), "application/octet-stream" when none matches; returns out.
char* mime_type_by_extension(const char* name, char* out);

}  // namespace ostrel
