// The console: the width of the one that standard output writes to, for
// text that is wrapped to fit it, and whether a person is at a stream.
#pragma once

#include <cstdio>

namespace ostrel {

// Columns of the terminal on standard output; 80 when standard output is not
// a terminal or the terminal reports no width.
int platform_console_width();

// 1 when f is a terminal, else 0.
int platform_is_terminal(FILE* f);

// 1 when a and b write to the same file, device or pipe, else 0.
int platform_same_file(FILE* a, FILE* b);

}  // namespace ostrel
