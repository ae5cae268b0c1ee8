// The help renderer: turns a table of help rows into text wrapped for a
// console or a fixed width, or into AsciiDoc for the documentation.
#pragma once

#include <cstdint>
#include <cstdio>

#include "support/fmt.hpp"

namespace ostrel {

// Kinds of help rows; the renderers read the low 32 bits of the kind.
enum doc_kind : uint64_t {
    doc_end = 0,
    doc_heading = 1,
    doc_paragraph = 2,
    doc_table_start = 3,
    doc_option = 4,
    doc_table_end = 5,
};

// One row of a help table. A table ends with a row of kind doc_end.
struct doc_row {
    const char* option;  // the option's syntax as printed; "" in other rows
    uint64_t modes;      // bit i: applies in the mode of letter i (low 32 bits read)
    const char* text;    // heading, paragraph or the option's description
    uint64_t kind;
};

inline constexpr int doc_mode_string_size = 16;

// Console help on standard output; width 0 is the console's width. The second
// argument is not used. Returns 1.
int doc_render_console(const doc_row* table, int unused, const char* letters, int width);
// The same text on a stream at the given width.
int doc_write_console(FILE* out, const doc_row* table, const char* letters, int width);

// AsciiDoc help on standard output: a title, the banner, then the table.
// Returns 1; 0 when the text could not be built whole, and then nothing is
// written.
int doc_render_asciidoc(const char* banner, const char* title, const doc_row* table,
                        const char* letters);
// Builds the AsciiDoc text into b; 1 when b holds all of it, 0 when a growth
// or a copy failed and text is missing.
int doc_build_asciidoc(str_buf* b, const char* banner, const char* title, const doc_row* table,
                       const char* letters);

// Appends one text with inline markup: option names in italics, "(S)"-style
// prefixes in bold.
void doc_adoc_inline(str_buf* b, const char* text);
// A malloc'd copy of text with "*" and "|" escaped for AsciiDoc and control
// characters other than TAB, LF and CR dropped; NULL when out of memory.
char* doc_adoc_escape(const char* text);
// The mode string of a mask: letter i when bit i (modulo 32) is set, else
// "-"; at most 15 letters, into out (doc_mode_string_size bytes).
void doc_mode_string(uint32_t mask, const char* letters, int count, char* out);
// Appends level times "=", a space, the text and a line end.
void doc_adoc_heading(str_buf* b, int level, const char* text);
// The runtime's fprintf.
int doc_fprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ostrel
