#include "platform/clock.hpp"

#include <ctime>

namespace ostrel {

int64_t platform_counter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

uint64_t platform_counter_frequency() {
    return 1000000000ULL;
}

}  // namespace ostrel
