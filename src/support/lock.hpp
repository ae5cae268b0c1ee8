// Locks that make the libraries safe to call from several threads, the node
// pool behind the reader/writer records, and a counter of started threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>

#include "platform/thread.hpp"

namespace ostrel {

// A mutex that remembers its holder: the holder's further acquires do
// nothing and its first release frees it (no nesting count). A release by a
// thread that does not hold it is ignored.
struct lock_mutex {
    // Only the holder writes its own id here, so any thread may test
    // whether it holds the lock without entering the section.
    std::atomic<uint32_t> owner{0};
    platform_mutex section;
};

lock_mutex* lock_create();
void lock_destroy(lock_mutex* lock);
int lock_acquire(lock_mutex* lock);
int lock_release(lock_mutex* lock);

// Sleeps one millisecond: the wait step of the reader/writer rules.
void lock_yield();

// Intrusive list link: next points towards older records, back at the next
// newer record's next link (NULL for the newest).
struct lock_link {
    lock_link* next;
    lock_link** back;
};

// One record of a reader or writer list (24 bytes, taken from a pool). The
// link comes first, so a link's address is its record's address.
struct lock_record {
    lock_link link;
    uint32_t id;
};

// One block of a pool: counts and the first free slot, then count slots.
struct lock_pool_block {
    uint16_t used = 0;        // slots handed out now
    uint16_t fresh = 0;       // slots handed out from the untouched area so far
    uint16_t first_free = 0;  // head of the free-slot chain, valid while fresh == count > used
    std::unique_ptr<std::byte[]> area;
};

struct lock_mutex_deleter {
    void operator()(lock_mutex* lock) const { lock_destroy(lock); }
};
using lock_mutex_ptr = std::unique_ptr<lock_mutex, lock_mutex_deleter>;

// Fixed-size node allocator. Blocks of count slots are made when every block
// is full and released as soon as their last node comes back.
struct lock_pool {
    uint32_t count = 0;  // slots per block, below 65536
    uint32_t size = 0;   // bytes per node
    lock_mutex_ptr lock;
    std::list<lock_pool_block> blocks;  // newest first
    lock_pool_block* current = nullptr;
};

lock_pool* lock_pool_create(uint32_t count, uint32_t size);
void* lock_pool_alloc(lock_pool* pool);  // a zeroed node, NULL when out of memory
void lock_pool_free(lock_pool* pool, void* node);
void lock_pool_destroy(lock_pool* pool);
// Takes a slot of one block (its header first) without the pool's lock and
// without zeroing or marking it; NULL when the block is full.
std::byte* lock_pool_block_take(lock_pool* pool, lock_pool_block* block);
// Number of blocks the pool holds now.
size_t lock_pool_block_count(lock_pool* pool);

struct lock_pool_deleter {
    void operator()(lock_pool* pool) const { lock_pool_destroy(pool); }
};
using lock_pool_ptr = std::unique_ptr<lock_pool, lock_pool_deleter>;

// Reader/writer lock. While lock_rw_plain is on, every acquire, whatever its
// mode, takes the inner mutex as lock_acquire does, so shared holders
// exclude each other too. With it off, readers share the lock, writers are
// served in arrival order, and a waiting writer keeps new readers out.
struct lock_rw {
    lock_mutex inner;              // its owner is the holder of the inner mutex
    lock_link* readers = nullptr;  // threads holding it shared, newest first
    lock_link* writers = nullptr;  // queue: newest at the head, oldest at the tail
    lock_pool_ptr pool;
    uint32_t writer = 0;  // thread holding it exclusively, 0 for none
};

// On from the start and never turned off by the program; only tests turn it
// off to exercise the reader/writer rules.
extern std::atomic<bool> lock_rw_plain;

lock_rw* lock_rw_create();
void lock_rw_destroy(lock_rw* lock);
int lock_rw_acquire(lock_rw* lock, int mode);  // mode 0 shared, else exclusive
int lock_rw_release(lock_rw* lock);
void lock_rw_plain_mode();
int lock_rw_no_other_reader(lock_rw* lock, uint32_t id);
lock_record* lock_list_find(lock_link* link, uint32_t id);
// Number of records in the writer queue (holder included), for diagnostics.
size_t lock_rw_writers_queued(lock_rw* lock);

struct lock_rw_deleter {
    void operator()(lock_rw* lock) const { lock_rw_destroy(lock); }
};
using lock_rw_ptr = std::unique_ptr<lock_rw, lock_rw_deleter>;

// Threads counted for thread_wait_all. A counted thread ends with
// thread_exit, which is what lowers the count.
using thread_fn = void (*)(void*);
using thread_idle_fn = void (*)();

void thread_count_init();
int thread_start(thread_fn fn, void* arg);
[[noreturn]] void thread_exit();
// Waits until the count is 0, telling on standard output every tenth pass of
// 100 milliseconds how many threads are left, and calling idle on each pass.
void thread_wait_all(thread_idle_fn idle);
void thread_print_waiting(FILE* stream, int count);

}  // namespace ostrel
