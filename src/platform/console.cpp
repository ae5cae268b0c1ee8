#include "platform/console.hpp"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel {

int platform_console_width() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return 80;
    return ws.ws_col;
}

int platform_is_terminal(FILE* f) {
    return f && ::isatty(::fileno(f)) ? 1 : 0;
}

int platform_same_file(FILE* a, FILE* b) {
    if (!a || !b) return 0;
    struct stat sa, sb;
    if (::fstat(::fileno(a), &sa) != 0 || ::fstat(::fileno(b), &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
}

}  // namespace ostrel
