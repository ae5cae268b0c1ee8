// Thread ids, millisecond sleeps and a plain mutex: the small part of the
// operating system's threading that the support library's locks stand on.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace ostrel {

// The kernel's id of the calling thread; never 0, so 0 can mean "nobody".
uint32_t platform_thread_id();

// Sleeps at least the given number of milliseconds; interruptions are resumed.
void platform_sleep_ms(uint32_t ms);

// A non-recursive mutex. Locking it twice from one thread deadlocks, as the
// critical section's users never do (they track the owner themselves).
class platform_mutex {
  public:
    platform_mutex() = default;
    platform_mutex(const platform_mutex&) = delete;
    platform_mutex& operator=(const platform_mutex&) = delete;
    ~platform_mutex() { pthread_mutex_destroy(&m_); }

    void lock() { pthread_mutex_lock(&m_); }
    void unlock() { pthread_mutex_unlock(&m_); }

  private:
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
};

}  // namespace ostrel
