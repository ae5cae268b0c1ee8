// The width of the console that standard output writes to, for text that is
// wrapped to fit it.
#pragma once

namespace ostrel {

// Columns of the terminal on standard output; 80 when standard output is not
// a terminal or the terminal reports no width.
int platform_console_width();

}  // namespace ostrel
