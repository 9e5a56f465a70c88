/* libvek.so, the thread checker's runtime. The memory checker's data-race
 * mode puts it first among the program's needed libraries, so its pthread
 * lock calls and free reach us before libc; each call is forwarded unchanged
 * and watched for errors of locking:
 *   lock-order-inversion  two locks (or a longer cycle) taken in orders that
 *                         can deadlock, found when the closing order first
 *                         appears, before any thread has to wait;
 *   unlock-not-held       a release by a thread that does not hold the lock;
 *   destroy-held-lock     a lock destroyed while some thread holds it;
 *   free-held-lock        memory freed while it contains a held lock;
 *   exit-holding-lock     a thread ending while it holds a lock.
 * It does not look at the program's memory accesses, so it does not find
 * unsynchronised accesses to shared data.
 *
 * Nothing is printed by a process that finds nothing. */
#include "vek.h"

#include <stdlib.h>

__attribute__((constructor(101))) static void vek_start(void)
{
    vek_resolve_reals();
    ++cs_in_runtime;
    cs_read_settings("vek");
    --cs_in_runtime;
    vek_threads_init();
}

__attribute__((destructor)) static void vek_end(void)
{
    vek_finish_reports();
}

VEK_EXPORT void free(void *ptr)
{
    if (ptr == NULL || !vek_checking()) {
        (vek_real.free ? vek_real.free : __libc_free)(ptr);
        return;
    }
    vek_before_free(ptr);
    vek_real.free(ptr);
}
