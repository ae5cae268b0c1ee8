// Monotonic time in nanoseconds, for elapsed times in traces and as seed
// material. The values have no fixed origin; only differences mean anything.
#pragma once

#include <cstdint>

namespace ostrel {

uint64_t timer_frequency();   // counts per second of the underlying counter
uint64_t timer_now_ns();      // the current time in nanoseconds
uint64_t timer_resolution();  // units of timer_now_ns per second: 1000000000

// A counter value in nanoseconds for a counter of the given frequency.
uint64_t timer_counts_to_ns(int64_t counter, uint64_t frequency);

}  // namespace ostrel
