/* A small lock that is safe to take inside malloc and to release in a fork
 * child. C only: the runtimes use it, tests need not. Taken on every
 * allocation and free, nearly always free of contention, so the first try and
 * the release are inline and only waiting goes through a call. */
#ifndef RYN_CS_LOCK_H
#define RYN_CS_LOCK_H

#include <stdatomic.h>
#include <sys/single_threaded.h>

typedef struct {
    atomic_int held;
} cs_lock_t;

/* Waits for a lock that the first try found held. */
void cs_lock_wait(cs_lock_t *lock);

static inline void cs_lock(cs_lock_t *lock)
{
    int expected = 0;
    if (__builtin_expect(!atomic_compare_exchange_strong_explicit(&lock->held, &expected, 1, memory_order_acquire,
                                                                  memory_order_relaxed),
                         0))
        cs_lock_wait(lock);
}

static inline void cs_unlock(cs_lock_t *lock)
{
    atomic_store_explicit(&lock->held, 0, memory_order_release);
}

/* For the locks of the allocation paths: a process with one thread has no
 * one to keep out (it cannot start another inside the lock), and a locked
 * instruction first waits for every store before it, such as the filling of
 * a freed block. The C library's allocator skips its own locks alike. The
 * release is cs_unlock, harmless for a lock that was skipped. */
static inline void cs_lock_shared_only(cs_lock_t *lock)
{
    if (!__libc_single_threaded)
        cs_lock(lock);
}

#endif
