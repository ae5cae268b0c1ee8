#include "support/lock.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

namespace ostrel {

namespace {

// Makes a heap object for an interface that hands out raw pointers; NULL when
// memory runs out.
template <typename T>
T* make_raw() {
    try {
        return std::make_unique<T>().release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

class mutex_hold {
  public:
    explicit mutex_hold(lock_mutex* lock) : lock_(lock) { lock_acquire(lock_); }
    ~mutex_hold() { lock_release(lock_); }
    mutex_hold(const mutex_hold&) = delete;
    mutex_hold& operator=(const mutex_hold&) = delete;

  private:
    lock_mutex* lock_;
};

}  // namespace

// ---- lock_mutex ----

lock_mutex* lock_create() {
    return make_raw<lock_mutex>();
}

void lock_destroy(lock_mutex* lock) {
    std::unique_ptr<lock_mutex> owned(lock);
}

int lock_acquire(lock_mutex* lock) {
    const uint32_t me = platform_thread_id();
    if (lock->owner.load(std::memory_order_relaxed) == me) return 1;
    lock->section.lock();
    lock->owner.store(me, std::memory_order_relaxed);
    return 1;
}

int lock_release(lock_mutex* lock) {
    if (lock->owner.load(std::memory_order_relaxed) != platform_thread_id()) return 1;
    lock->owner.store(0, std::memory_order_relaxed);
    lock->section.unlock();
    return 1;
}

void lock_yield() {
    platform_sleep_ms(1);
}

// ---- lock_pool ----

namespace {

// A slot is this header, padded so that every node is aligned for any
// object, followed by the node itself.
struct slot_header {
    uint8_t in_use;
    uint16_t next_free;
};
constexpr size_t slot_header_size = alignof(std::max_align_t);
static_assert(sizeof(slot_header) <= slot_header_size);

size_t slot_stride(const lock_pool* pool) {
    const size_t a = alignof(std::max_align_t);
    return slot_header_size + (pool->size + a - 1) / a * a;
}

slot_header read_header(const std::byte* slot) {
    slot_header h;
    std::memcpy(&h, slot, sizeof h);
    return h;
}

void write_header(std::byte* slot, const slot_header& h) {
    std::memcpy(slot, &h, sizeof h);
}

std::byte* take_marked(lock_pool* pool, lock_pool_block* block) {
    std::byte* slot = lock_pool_block_take(pool, block);
    if (!slot) return nullptr;
    std::memset(slot, 0, slot_stride(pool));
    write_header(slot, slot_header{1, 0});
    return slot + slot_header_size;
}

// The block whose slot area holds the slot and the slot's index, or NULL for
// a pointer that is no slot of this pool.
lock_pool_block* find_block(lock_pool* pool, const std::byte* slot, uint16_t* index) {
    const size_t stride = slot_stride(pool);
    const auto at = reinterpret_cast<uintptr_t>(slot);
    for (auto& block : pool->blocks) {
        const auto start = reinterpret_cast<uintptr_t>(block.area.get());
        if (at < start || at >= start + stride * pool->count) continue;
        if ((at - start) % stride != 0) return nullptr;
        *index = static_cast<uint16_t>((at - start) / stride);
        return &block;
    }
    return nullptr;
}

}  // namespace

lock_pool* lock_pool_create(uint32_t count, uint32_t size) {
    if (count == 0 || count > UINT16_MAX) return nullptr;
    std::unique_ptr<lock_pool> pool(make_raw<lock_pool>());
    if (!pool) return nullptr;
    pool->lock.reset(lock_create());
    if (!pool->lock) return nullptr;
    pool->count = count;
    pool->size = size;
    return pool.release();
}

std::byte* lock_pool_block_take(lock_pool* pool, lock_pool_block* block) {
    uint16_t index;
    if (block->fresh < pool->count) {
        index = block->fresh++;
    } else if (block->used < pool->count) {
        index = block->first_free;
        block->first_free = read_header(block->area.get() + index * slot_stride(pool)).next_free;
    } else {
        return nullptr;
    }
    ++block->used;
    return block->area.get() + index * slot_stride(pool);
}

void* lock_pool_alloc(lock_pool* pool) {
    mutex_hold hold(pool->lock.get());
    if (pool->current) {
        if (std::byte* node = take_marked(pool, pool->current)) return node;
    }
    for (auto& block : pool->blocks) {
        if (std::byte* node = take_marked(pool, &block)) {
            pool->current = &block;
            return node;
        }
    }
    try {
        lock_pool_block fresh;
        fresh.area = std::make_unique<std::byte[]>(slot_stride(pool) * pool->count);
        pool->blocks.push_front(std::move(fresh));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    pool->current = &pool->blocks.front();
    return take_marked(pool, pool->current);
}

void lock_pool_free(lock_pool* pool, void* node) {
    if (!node) return;
    mutex_hold hold(pool->lock.get());
    std::byte* slot = static_cast<std::byte*>(node) - slot_header_size;
    uint16_t index = 0;
    lock_pool_block* block = find_block(pool, slot, &index);
    // A foreign pointer is never written to; a slot freed twice must not
    // count twice.
    if (!block || read_header(slot).in_use == 0) return;
    write_header(slot, slot_header{0, block->first_free});
    block->first_free = index;
    if (--block->used != 0) return;
    if (pool->current == block) pool->current = nullptr;
    pool->blocks.remove_if([block](const lock_pool_block& b) { return &b == block; });
}

void lock_pool_destroy(lock_pool* pool) {
    std::unique_ptr<lock_pool> owned(pool);
}

size_t lock_pool_block_count(lock_pool* pool) {
    mutex_hold hold(pool->lock.get());
    return pool->blocks.size();
}

// ---- lock_rw ----

std::atomic<bool> lock_rw_plain{true};

namespace {

lock_record* record_of(lock_link* link) {
    return reinterpret_cast<lock_record*>(link);
}

void list_push(lock_link*& head, lock_link* link) {
    link->next = head;
    link->back = nullptr;
    if (head) head->back = &link->next;
    head = link;
}

void list_unlink(lock_link*& head, lock_link* link) {
    if (link->back)
        *link->back = link->next;
    else
        head = link->next;
    if (link->next) link->next->back = link->back;
}

lock_link* list_tail(lock_link* head) {
    while (head && head->next) head = head->next;
    return head;
}

// Releases the inner mutex for one millisecond so that others can move.
void rw_wait(lock_rw* lock) {
    lock_release(&lock->inner);
    lock_yield();
    lock_acquire(&lock->inner);
}

lock_record* rw_new_record(lock_rw* lock, uint32_t id) {
    void* node = lock_pool_alloc(lock->pool.get());
    if (!node) return nullptr;
    auto* rec = new (node) lock_record{};
    rec->id = id;
    return rec;
}

void rw_acquire_shared(lock_rw* lock, uint32_t me) {
    // A reader that already holds the lock must not queue behind a writer
    // that is waiting for that very reader.
    if (lock_list_find(lock->readers, me)) return;
    for (;;) {
        while (lock->writers && lock->writer != me) rw_wait(lock);
        if (lock_list_find(lock->readers, me)) return;
        if (lock_record* rec = rw_new_record(lock, me)) {
            list_push(lock->readers, &rec->link);
            return;
        }
        rw_wait(lock);
    }
}

void rw_acquire_exclusive(lock_rw* lock, uint32_t me) {
    lock_record* mine = lock_list_find(lock->writers, me);
    for (;;) {
        if (!mine && (mine = rw_new_record(lock, me)) != nullptr)
            list_push(lock->writers, &mine->link);
        if (mine && list_tail(lock->writers) == &mine->link && lock_rw_no_other_reader(lock, me)) {
            lock->writer = me;
            return;
        }
        rw_wait(lock);
    }
}

}  // namespace

lock_rw* lock_rw_create() {
    std::unique_ptr<lock_rw> lock(make_raw<lock_rw>());
    if (!lock) return nullptr;
    lock->pool.reset(lock_pool_create(64, sizeof(lock_record)));
    if (!lock->pool) return nullptr;
    return lock.release();
}

void lock_rw_destroy(lock_rw* lock) {
    std::unique_ptr<lock_rw> owned(lock);
}

int lock_rw_acquire(lock_rw* lock, int mode) {
    lock_acquire(&lock->inner);
    if (lock_rw_plain.load()) return 1;
    const uint32_t me = platform_thread_id();
    if (mode == 0)
        rw_acquire_shared(lock, me);
    else
        rw_acquire_exclusive(lock, me);
    lock_release(&lock->inner);
    return 1;
}

int lock_rw_release(lock_rw* lock) {
    if (lock_rw_plain.load()) return lock_release(&lock->inner);
    const uint32_t me = platform_thread_id();
    lock_acquire(&lock->inner);
    lock_link* oldest = list_tail(lock->writers);
    if (oldest && record_of(oldest)->id == me) {
        lock->writer = 0;
        list_unlink(lock->writers, oldest);
        lock_pool_free(lock->pool.get(), oldest);
    }
    if (lock_record* rec = lock_list_find(lock->readers, me)) {
        list_unlink(lock->readers, &rec->link);
        lock_pool_free(lock->pool.get(), rec);
    }
    return lock_release(&lock->inner);
}

void lock_rw_plain_mode() {
    lock_rw_plain.store(true);
}

int lock_rw_no_other_reader(lock_rw* lock, uint32_t id) {
    for (lock_link* l = lock->readers; l; l = l->next)
        if (record_of(l)->id != id) return 0;
    return 1;
}

lock_record* lock_list_find(lock_link* link, uint32_t id) {
    for (; link; link = link->next)
        if (record_of(link)->id == id) return record_of(link);
    return nullptr;
}

size_t lock_rw_writers_queued(lock_rw* lock) {
    mutex_hold hold(&lock->inner);
    size_t n = 0;
    for (lock_link* l = lock->writers; l; l = l->next) ++n;
    return n;
}

// ---- thread counter ----

namespace {

int thread_count = 0;
lock_mutex* thread_count_lock = nullptr;

void count_add(int delta) {
    if (!thread_count_lock) return;
    mutex_hold hold(thread_count_lock);
    thread_count += delta;
}

int count_read() {
    if (!thread_count_lock) return 0;
    mutex_hold hold(thread_count_lock);
    return thread_count;
}

struct thread_start_args {
    thread_fn fn;
    void* arg;
};

void* thread_trampoline(void* p) {
    std::unique_ptr<thread_start_args> owned(static_cast<thread_start_args*>(p));
    const thread_start_args args = *owned;
    owned.reset();  // thread_exit never returns here
    args.fn(args.arg);
    return nullptr;
}

}  // namespace

void thread_count_init() {
    if (!thread_count_lock) thread_count_lock = lock_create();
}

int thread_start(thread_fn fn, void* arg) {
    // Counted before the thread runs, so that a thread that ends at once
    // cannot leave the count below the number still running.
    count_add(1);
    std::unique_ptr<thread_start_args> args(make_raw<thread_start_args>());
    pthread_attr_t attr;
    bool started = false;
    if (args && pthread_attr_init(&attr) == 0) {
        *args = thread_start_args{fn, arg};
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t tid;
        started = pthread_create(&tid, &attr, thread_trampoline, args.get()) == 0;
        pthread_attr_destroy(&attr);
    }
    if (started)
        args.release();  // the thread owns it now
    else
        count_add(-1);
    return 1;
}

void thread_exit() {
    count_add(-1);
    pthread_exit(nullptr);
}

void thread_wait_all(thread_idle_fn idle) {
    for (unsigned pass = 0;; ++pass) {
        const int n = count_read();
        if (n == 0) return;
        if (pass % 10 == 0) {
            thread_print_waiting(stdout, n);
            std::fflush(nullptr);
        }
        if (idle) idle();
        platform_sleep_ms(100);
    }
}

void thread_print_waiting(FILE* stream, int count) {
    std::fprintf(stream, "Waiting on %d threads\n", count);
}

}  // namespace ostrel
