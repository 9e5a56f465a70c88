/* The re-entrancy guard, a lock fit for malloc, and raw memory. */
#include "checker_support.h"
#include "cs_lock.h"

#include <sched.h>
#include <sys/mman.h>

__thread int cs_in_runtime __attribute__((tls_model("initial-exec")));

void cs_lock_wait(cs_lock_t *lock)
{
    for (unsigned spins = 0;; ++spins) {
        /* Read until it looks free: a failing exchange would take the line. */
        if (atomic_load_explicit(&lock->held, memory_order_relaxed) == 0) {
            int expected = 0;
            if (atomic_compare_exchange_weak_explicit(&lock->held, &expected, 1, memory_order_acquire,
                                                      memory_order_relaxed))
                return;
        }
        /* A holder that was preempted needs the core more than we do. */
        if (spins > 64)
            sched_yield();
    }
}

void *cs_map(size_t size)
{
    void *memory = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return NULL;
    cs_note_region(memory, size);
    return memory;
}
