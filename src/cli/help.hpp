// The program's help: the table of every option with its modes and texts, and
// the three ways of printing it (/?, -doc and -asciidoc).
#pragma once

#include <cstddef>

#include "support/doc_render.hpp"

namespace ostrel {

// Rows of the help table before its end row.
inline constexpr size_t doc_usage_rows = 128;
// The help table: doc_usage_rows rows and the end row.
extern const doc_row doc_usage_table[doc_usage_rows + 1];

// The mode letters the help is printed with: SMTP, File, Preconstructed.
inline constexpr const char* cli_help_modes = "SFP";

// Banner, hint and the console help at width columns (0: the console's
// width). Returns status.
int cli_help_console(int width, int status);
// The AsciiDoc help; returns 0. Throws std::bad_alloc, having written
// nothing, when the document could not be built whole.
int cli_help_asciidoc();

}  // namespace ostrel
