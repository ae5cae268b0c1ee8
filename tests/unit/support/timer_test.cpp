#include "support/timer.hpp"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/clock.hpp"

namespace ostrel {
namespace {

TEST(Timer, NeverGoesBackwards) {
    uint64_t prev = timer_now_ns();
    for (int i = 0; i < 100000; ++i) {
        uint64_t now = timer_now_ns();
        ASSERT_GE(now, prev);
        prev = now;
    }
}

// Against the system's own monotonic clock read around it.
TEST(Timer, CountsNanosecondsOfTheMonotonicClock) {
    EXPECT_EQ(timer_frequency(), 1000000000u);
    EXPECT_EQ(timer_resolution(), 1000000000u);
    auto mono_ns = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
    };
    const uint64_t before = mono_ns();
    const uint64_t t = timer_now_ns();
    const uint64_t after = mono_ns();
    EXPECT_LE(before, t + 1000);  // double rounding costs at most a few ns
    EXPECT_LE(t, after + 1000);

    const uint64_t start = timer_now_ns();
    const timespec pause{0, 20000000};
    nanosleep(&pause, nullptr);
    const uint64_t ms = (timer_now_ns() - start) / 1000000;
    EXPECT_GE(ms, 20u);
    EXPECT_LT(ms, 2000u);
}

struct conversion_case {
    int64_t counter;
    uint64_t frequency;
    uint64_t ns;
};

TEST(Timer, ConvertsCountsOfAnyFrequency) {
    const conversion_case cases[] = {
        {12345, 10000000, 1234500},  // 10 MHz: 100 ns a count
        {3, 10000000, 300},
        {0, 10000000, 0},
        {1000000000, 1000000000, 1000000000},             // nanosecond counter unchanged
        {3579545, 3579545, 1000000000},                   // one second of an ACPI-style counter
        {1, 3, 333333333},                                // truncated toward zero
        {INT64_MAX, 1000000000, 9223372036854775808ULL},  // rounds up past 2^63
        {-5, 1000000000, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(timer_counts_to_ns(c.counter, c.frequency), c.ns)
            << c.counter << " at " << c.frequency;
}

}  // namespace
}  // namespace ostrel
