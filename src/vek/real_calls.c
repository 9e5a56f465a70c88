/* The definitions behind our wrappers: whatever comes next in the program's
 * search order (normally libc), looked up once.
 *
 * dlsym may itself allocate, free and lock, so while the look-ups run this
 * thread is marked busy and every wrapper it re-enters goes to libc's own
 * entry points, which need no look-up. */
#include "vek.h"

#include <dlfcn.h>
#include <malloc.h>
#include <stdatomic.h>
#include <stdlib.h>

struct vek_reals vek_real;

static _Atomic int state; /* 0 not yet, 1 resolving, 2 done */
static __thread int resolving VEK_TLS;

static void *next(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

/* Condition variables exist in two versions; programs built today use the
 * newer one, and an unversioned look-up could hand us the old. */
static void *next_cond(const char *name)
{
    void *found = dlvsym(RTLD_NEXT, name, "GLIBC_2.3.2");
    return found ? found : next(name);
}

static void resolve_all(void)
{
    struct vek_reals r;
    r.mutex_lock = next("pthread_mutex_lock");
    r.mutex_trylock = next("pthread_mutex_trylock");
    r.mutex_timedlock = next("pthread_mutex_timedlock");
    r.mutex_clocklock = next("pthread_mutex_clocklock");
    r.mutex_unlock = next("pthread_mutex_unlock");
    r.mutex_init = next("pthread_mutex_init");
    r.mutex_destroy = next("pthread_mutex_destroy");
    r.rwlock_rdlock = next("pthread_rwlock_rdlock");
    r.rwlock_wrlock = next("pthread_rwlock_wrlock");
    r.rwlock_tryrdlock = next("pthread_rwlock_tryrdlock");
    r.rwlock_trywrlock = next("pthread_rwlock_trywrlock");
    r.rwlock_timedrdlock = next("pthread_rwlock_timedrdlock");
    r.rwlock_timedwrlock = next("pthread_rwlock_timedwrlock");
    r.rwlock_clockrdlock = next("pthread_rwlock_clockrdlock");
    r.rwlock_clockwrlock = next("pthread_rwlock_clockwrlock");
    r.rwlock_unlock = next("pthread_rwlock_unlock");
    r.rwlock_init = next("pthread_rwlock_init");
    r.rwlock_destroy = next("pthread_rwlock_destroy");
    r.spin_lock = next("pthread_spin_lock");
    r.spin_trylock = next("pthread_spin_trylock");
    r.spin_unlock = next("pthread_spin_unlock");
    r.spin_init = next("pthread_spin_init");
    r.spin_destroy = next("pthread_spin_destroy");
    r.cond_wait = next_cond("pthread_cond_wait");
    r.cond_timedwait = next_cond("pthread_cond_timedwait");
    r.cond_clockwait = next("pthread_cond_clockwait");
    r.free = next("free");
    r.malloc_usable_size = next("malloc_usable_size");
    if (r.free == NULL)
        r.free = __libc_free;
    /* The size of a block is asked of the allocator that frees it, or of
     * none: another allocator's answer about a foreign block is no answer. */
    Dl_info free_home, size_home;
    if (r.malloc_usable_size != NULL &&
        (!dladdr((void *)r.free, &free_home) || !dladdr((void *)r.malloc_usable_size, &size_home) ||
         free_home.dli_fbase != size_home.dli_fbase))
        r.malloc_usable_size = NULL;
    vek_real = r;
}

void vek_resolve_reals(void)
{
    if (atomic_load_explicit(&state, memory_order_acquire) == 2 || resolving)
        return;
    int expected = 0;
    if (atomic_compare_exchange_strong(&state, &expected, 1)) {
        resolving = 1;
        ++cs_in_runtime;
        resolve_all();
        --cs_in_runtime;
        resolving = 0;
        atomic_store_explicit(&state, 2, memory_order_release);
        return;
    }
    /* Another thread is resolving: its look-ups are short. */
    while (atomic_load_explicit(&state, memory_order_acquire) != 2)
        sched_yield();
}
