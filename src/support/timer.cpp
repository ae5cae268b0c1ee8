#include "support/timer.hpp"

#include <atomic>

#include "platform/clock.hpp"

namespace ostrel {

namespace {
// Filled by the first timer_now_ns; two threads racing store the same value.
std::atomic<uint64_t> cached_frequency{0};
}  // namespace

uint64_t timer_frequency() {
    return platform_counter_frequency();
}

uint64_t timer_resolution() {
    return 1000000000ULL;
}

uint64_t timer_counts_to_ns(int64_t counter, uint64_t frequency) {
    const double divisor = static_cast<double>(frequency) / 1000000000.0;
    const double ns = static_cast<double>(counter) / divisor;
    // A counter never runs below zero; guard the conversion all the same.
    if (!(ns >= 0.0)) return 0;
    if (ns >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(ns);
}

uint64_t timer_now_ns() {
    uint64_t freq = cached_frequency.load(std::memory_order_relaxed);
    if (freq == 0) {
        freq = platform_counter_frequency();
        cached_frequency.store(freq, std::memory_order_relaxed);
    }
    return timer_counts_to_ns(platform_counter(), freq);
}

}  // namespace ostrel
