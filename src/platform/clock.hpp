// The monotonic counter under the support library's clock: a count of ticks
// with no fixed origin and the number of ticks per second.
#pragma once

#include <cstdint>

namespace ostrel {

// Ticks of the monotonic clock since an arbitrary origin.
int64_t platform_counter();

// Ticks per second of platform_counter (nanosecond ticks: 1000000000).
uint64_t platform_counter_frequency();

}  // namespace ostrel
