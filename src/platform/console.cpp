#include "platform/console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

namespace ostrel {

int platform_console_width() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return 80;
    return ws.ws_col;
}

}  // namespace ostrel
