#include "support/lock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ostrel {
namespace {

using namespace std::chrono_literals;

// Polls a flag for up to the given time.
bool becomes_true(const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A thread that takes a lock, notes the order in which it got it, holds it
// until told to let go, and releases it.
class holder {
  public:
    holder(std::function<void()> take, std::function<void()> give,
           std::vector<int>* order = nullptr, int tag = 0)
        : thread_([this, take, give, order, tag] {
              take();
              if (order) {
                  std::lock_guard<std::mutex> g(order_mutex());
                  order->push_back(tag);
              }
              acquired_ = true;
              while (!go_) std::this_thread::sleep_for(1ms);
              give();
          }) {}
    ~holder() {
        go_ = true;
        thread_.join();
    }
    bool acquired(std::chrono::milliseconds limit = 3000ms) const {
        return becomes_true(acquired_, limit);
    }
    // True when the thread still has not got the lock after a grace period.
    bool still_waiting() const { return !becomes_true(acquired_, 60ms); }
    void let_go() { go_ = true; }

    static std::mutex& order_mutex() {
        static std::mutex m;
        return m;
    }

  private:
    std::atomic<bool> acquired_{false};
    std::atomic<bool> go_{false};
    std::thread thread_;
};

std::unique_ptr<holder> mutex_holder(lock_mutex* m) {
    return std::make_unique<holder>([m] { lock_acquire(m); }, [m] { lock_release(m); });
}

// ---- lock_mutex ----

TEST(LockMutex, TracksOwnerAndTwoAcquiresNeedOneRelease) {
    lock_mutex_ptr m(lock_create());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->owner.load(), 0u);
    EXPECT_EQ(lock_acquire(m.get()), 1);
    EXPECT_EQ(m->owner.load(), platform_thread_id());
    EXPECT_EQ(lock_acquire(m.get()), 1);  // the owner's second acquire does nothing
    EXPECT_EQ(lock_release(m.get()), 1);  // ... so this one frees it
    EXPECT_EQ(m->owner.load(), 0u);
    auto other = mutex_holder(m.get());
    EXPECT_TRUE(other->acquired());
    other->let_go();
}

TEST(LockMutex, ReleaseByNonOwnerIsIgnored) {
    lock_mutex_ptr m(lock_create());
    ASSERT_NE(m, nullptr);
    lock_acquire(m.get());
    std::thread([&] { EXPECT_EQ(lock_release(m.get()), 1); }).join();
    EXPECT_EQ(m->owner.load(), platform_thread_id());
    auto other = mutex_holder(m.get());
    EXPECT_TRUE(other->still_waiting());
    lock_release(m.get());
    EXPECT_TRUE(other->acquired());
    other->let_go();
}

TEST(LockMutex, ExcludesConcurrentIncrements) {
    lock_mutex_ptr m(lock_create());
    ASSERT_NE(m, nullptr);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                lock_acquire(m.get());
                long v = counter;  // a torn read-modify-write would lose counts
                counter = v + 1;
                lock_release(m.get());
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
}

// ---- lock_rw ----

std::unique_ptr<holder> rw_holder(lock_rw* l, int mode, std::vector<int>* order = nullptr,
                                  int tag = 0) {
    return std::make_unique<holder>([l, mode] { lock_rw_acquire(l, mode); },
                                    [l] { lock_rw_release(l); }, order, tag);
}

TEST(LockRwPlain, SharedHoldersExcludeEachOther) {
    ASSERT_TRUE(lock_rw_plain.load());
    lock_rw_ptr l(lock_rw_create());
    ASSERT_NE(l, nullptr);
    auto first = rw_holder(l.get(), 0);
    ASSERT_TRUE(first->acquired());
    auto second = rw_holder(l.get(), 0);
    EXPECT_TRUE(second->still_waiting());
    first->let_go();
    EXPECT_TRUE(second->acquired());
    second->let_go();
}

TEST(LockRwPlain, ActsAsOwnerTrackingMutex) {
    lock_rw_ptr l(lock_rw_create());
    ASSERT_NE(l, nullptr);
    lock_rw_acquire(l.get(), 1);
    lock_rw_acquire(l.get(), 0);
    EXPECT_EQ(l->inner.owner.load(), platform_thread_id());
    EXPECT_EQ(lock_rw_release(l.get()), 1);
    EXPECT_EQ(l->inner.owner.load(), 0u);
    EXPECT_EQ(l->readers, nullptr);  // no records are made in plain mode
    EXPECT_EQ(l->writers, nullptr);
}

// The reader/writer rules, with the process-wide switch off for the test.
class LockRwRules : public ::testing::Test {
  protected:
    void SetUp() override {
        lock_rw_plain = false;
        lock_.reset(lock_rw_create());
        ASSERT_NE(lock_, nullptr);
    }
    void TearDown() override {
        lock_.reset();
        lock_rw_plain_mode();
    }
    void wait_queued(size_t n) {
        for (int i = 0; i < 3000 && lock_rw_writers_queued(lock_.get()) < n; ++i)
            std::this_thread::sleep_for(1ms);
        ASSERT_EQ(lock_rw_writers_queued(lock_.get()), n);
    }
    lock_rw_ptr lock_;
};

TEST_F(LockRwRules, TwoReadersHoldTogether) {
    auto r1 = rw_holder(lock_.get(), 0);
    auto r2 = rw_holder(lock_.get(), 0);
    EXPECT_TRUE(r1->acquired());
    EXPECT_TRUE(r2->acquired());
}

TEST_F(LockRwRules, WriterWaitsUntilBothReadersRelease) {
    auto r1 = rw_holder(lock_.get(), 0);
    auto r2 = rw_holder(lock_.get(), 0);
    ASSERT_TRUE(r1->acquired() && r2->acquired());
    auto w = rw_holder(lock_.get(), 1);
    wait_queued(1);
    EXPECT_TRUE(w->still_waiting());
    r1->let_go();
    EXPECT_TRUE(w->still_waiting());
    r2->let_go();
    EXPECT_TRUE(w->acquired());
    EXPECT_NE(lock_->writer, 0u);
}

TEST_F(LockRwRules, ReaderWaitsBehindWaitingWriter) {
    auto r1 = rw_holder(lock_.get(), 0);
    ASSERT_TRUE(r1->acquired());
    auto w = rw_holder(lock_.get(), 1);
    wait_queued(1);
    auto r2 = rw_holder(lock_.get(), 0);
    EXPECT_TRUE(r2->still_waiting());
    r1->let_go();
    EXPECT_TRUE(w->acquired());
    EXPECT_TRUE(r2->still_waiting());
    w->let_go();
    EXPECT_TRUE(r2->acquired());
}

TEST_F(LockRwRules, WritersAreServedInArrivalOrder) {
    std::vector<int> order;
    auto r = rw_holder(lock_.get(), 0);
    ASSERT_TRUE(r->acquired());
    auto w1 = rw_holder(lock_.get(), 1, &order, 1);
    wait_queued(1);
    auto w2 = rw_holder(lock_.get(), 1, &order, 2);
    wait_queued(2);
    r->let_go();
    EXPECT_TRUE(w1->acquired());
    EXPECT_TRUE(w2->still_waiting());
    w1->let_go();
    EXPECT_TRUE(w2->acquired());
    std::lock_guard<std::mutex> g(holder::order_mutex());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(LockRwRules, WriterMayAlsoHoldSharedAndOneReleaseEndsBoth) {
    lock_rw_acquire(lock_.get(), 1);
    lock_rw_acquire(lock_.get(), 1);  // the holder again: no second record
    lock_rw_acquire(lock_.get(), 0);
    EXPECT_EQ(lock_rw_writers_queued(lock_.get()), 1u);
    EXPECT_NE(lock_list_find(lock_->readers, platform_thread_id()), nullptr);
    EXPECT_EQ(lock_rw_no_other_reader(lock_.get(), platform_thread_id()), 1);
    lock_rw_release(lock_.get());
    EXPECT_EQ(lock_->writers, nullptr);
    EXPECT_EQ(lock_->readers, nullptr);
    EXPECT_EQ(lock_->writer, 0u);
    auto other = rw_holder(lock_.get(), 1);
    EXPECT_TRUE(other->acquired());
}

TEST_F(LockRwRules, ReaderMayUpgradeWhenAlone) {
    lock_rw_acquire(lock_.get(), 0);
    lock_rw_acquire(lock_.get(), 0);  // no second record, no count
    EXPECT_EQ(lock_->readers->next, nullptr);
    lock_rw_acquire(lock_.get(), 1);  // its own shared hold does not count
    EXPECT_EQ(lock_->writer, platform_thread_id());
    auto other = rw_holder(lock_.get(), 0);
    EXPECT_TRUE(other->still_waiting());
    lock_rw_release(lock_.get());
    EXPECT_TRUE(other->acquired());
}

TEST_F(LockRwRules, ReleaseByThreadHoldingNothingChangesNothing) {
    auto r = rw_holder(lock_.get(), 0);
    ASSERT_TRUE(r->acquired());
    lock_rw_release(lock_.get());
    EXPECT_EQ(lock_rw_no_other_reader(lock_.get(), platform_thread_id()), 0);
    auto w = rw_holder(lock_.get(), 1);
    EXPECT_TRUE(w->still_waiting());
    r->let_go();
    EXPECT_TRUE(w->acquired());
}

// A reader that holds the lock and asks again while a writer waits for it
// must not wait behind that writer: it would wait for itself.
TEST_F(LockRwRules, HeldReaderAsksAgainWhileWriterWaits) {
    lock_rw_acquire(lock_.get(), 0);
    auto w = rw_holder(lock_.get(), 1);
    wait_queued(1);
    lock_rw_acquire(lock_.get(), 0);  // returns at once
    EXPECT_EQ(lock_->readers->next, nullptr);
    EXPECT_TRUE(w->still_waiting());
    lock_rw_release(lock_.get());
    EXPECT_TRUE(w->acquired());
}

// ---- lock_pool ----

TEST(LockPool, SecondBlockForThe65thNodeFreedWhenItComesBack) {
    lock_pool_ptr pool(lock_pool_create(64, 24));
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 0u);
    std::vector<void*> nodes;
    std::set<uintptr_t> distinct;
    for (int i = 0; i < 64; ++i) {
        void* n = lock_pool_alloc(pool.get());
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(n) % alignof(std::max_align_t), 0u);
        std::memset(n, 0xAB, 24);  // writes over the whole node must stay in it
        nodes.push_back(n);
        distinct.insert(reinterpret_cast<uintptr_t>(n));
    }
    EXPECT_EQ(distinct.size(), 64u);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 1u);
    void* extra = lock_pool_alloc(pool.get());
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 2u);
    lock_pool_free(pool.get(), extra);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 1u);
    for (void* n : nodes) lock_pool_free(pool.get(), n);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 0u);
}

TEST(LockPool, FreedSlotsAreReusedZeroed) {
    lock_pool_ptr pool(lock_pool_create(4, 24));
    ASSERT_NE(pool, nullptr);
    std::vector<void*> nodes;
    for (int i = 0; i < 4; ++i) nodes.push_back(lock_pool_alloc(pool.get()));
    std::memset(nodes[1], 0xFF, 24);
    std::memset(nodes[2], 0xFF, 24);
    lock_pool_free(pool.get(), nodes[1]);
    lock_pool_free(pool.get(), nodes[2]);
    // Most recently freed first, then the one before; no new block.
    void* a = lock_pool_alloc(pool.get());
    void* b = lock_pool_alloc(pool.get());
    EXPECT_EQ(a, nodes[2]);
    EXPECT_EQ(b, nodes[1]);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 1u);
    const auto* bytes = static_cast<const unsigned char*>(a);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(bytes[i], 0) << i;
    for (void* n : {nodes[0], a, b, nodes[3]}) lock_pool_free(pool.get(), n);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 0u);
}

TEST(LockPool, ForeignAndDoubleFreesChangeNothing) {
    lock_pool_ptr pool(lock_pool_create(2, 24));
    ASSERT_NE(pool, nullptr);
    void* a = lock_pool_alloc(pool.get());
    void* b = lock_pool_alloc(pool.get());
    alignas(16) unsigned char foreign[64] = {};
    lock_pool_free(pool.get(), foreign + 16);
    lock_pool_free(pool.get(), static_cast<char*>(a) + 8);  // inside a slot, not a node
    for (unsigned char c : foreign) EXPECT_EQ(c, 0);
    lock_pool_free(pool.get(), a);
    lock_pool_free(pool.get(), a);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 1u);  // b still holds the block
    lock_pool_free(pool.get(), b);
    EXPECT_EQ(lock_pool_block_count(pool.get()), 0u);
}

TEST(LockPool, BlockTakePrefersFreshSlotsThenFreeOnes) {
    lock_pool_ptr pool(lock_pool_create(2, 8));
    ASSERT_NE(pool, nullptr);
    void* a = lock_pool_alloc(pool.get());
    ASSERT_NE(a, nullptr);
    lock_pool_block* block = &pool->blocks.front();
    std::byte* fresh = lock_pool_block_take(pool.get(), block);
    ASSERT_NE(fresh, nullptr);
    EXPECT_GT(fresh, static_cast<std::byte*>(a));
    EXPECT_EQ(lock_pool_block_take(pool.get(), block), nullptr);  // full
    EXPECT_EQ(block->used, 2);
}

// ---- thread counter ----

std::atomic<int> idle_calls{0};

void sleep_then_exit(void* ms) {
    platform_sleep_ms(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ms)));
    thread_exit();
}

TEST(Threads, WaitAllTellsAtOnceThenOnceASecond) {
    thread_count_init();
    thread_start(sleep_then_exit, reinterpret_cast<void*>(uintptr_t{1150}));
    thread_start(sleep_then_exit, reinterpret_cast<void*>(uintptr_t{300}));
    testing::internal::CaptureStdout();
    thread_wait_all([] { ++idle_calls; });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Waiting on 2 threads\n", 0), 0u) << out;
    // The second notice comes on the 11th pass, a second later, when only the
    // longer thread is left.
    EXPECT_EQ(out, "Waiting on 2 threads\nWaiting on 1 threads\n");
    EXPECT_GE(idle_calls.load(), 11);
}

TEST(Threads, PrintWaitingFormat) {
    char buf[64] = {};
    FILE* f = fmemopen(buf, sizeof buf, "w");
    ASSERT_NE(f, nullptr);
    thread_print_waiting(f, 3);
    std::fclose(f);
    EXPECT_STREQ(buf, "Waiting on 3 threads\n");
}

}  // namespace
}  // namespace ostrel
