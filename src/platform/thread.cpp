#include "platform/thread.hpp"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace ostrel {

uint32_t platform_thread_id() {
    return static_cast<uint32_t>(gettid());
}

void platform_sleep_ms(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace ostrel
