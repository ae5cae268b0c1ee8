#include "platform/thread.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clock.hpp"

namespace ostrel {
namespace {

TEST(PlatformThread, IdsAreNonZeroAndPerThread) {
    const uint32_t mine = platform_thread_id();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(platform_thread_id(), mine);
    uint32_t other = 0;
    std::thread([&] { other = platform_thread_id(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(PlatformThread, SleepLastsAtLeastTheTimeAsked) {
    const int64_t start = platform_counter();
    platform_sleep_ms(30);
    const int64_t elapsed_ms = (platform_counter() - start) / 1000000;
    EXPECT_GE(elapsed_ms, 30);
    EXPECT_LT(elapsed_ms, 3000);
    EXPECT_EQ(platform_counter_frequency(), 1000000000u);
}

TEST(PlatformThread, MutexExcludes) {
    platform_mutex m;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            m.lock();
            long v = counter;
            counter = v + 1;
            m.unlock();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace ostrel
