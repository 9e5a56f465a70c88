/* The program's mutex calls. Each forwards to the next definition and tells
 * the checker what happened; a lock counts as taken when the real call says
 * so (a robust mutex whose owner died is taken too). */
#include "vek.h"

#include <errno.h>

VEK_EXPORT int pthread_mutex_lock(pthread_mutex_t *mutex)
{
    VEK_BLOCKING(mutex_lock, VEK_MUTEX, VEK_EXCLUSIVE, mutex, mutex);
}

VEK_EXPORT int pthread_mutex_trylock(pthread_mutex_t *mutex)
{
    VEK_TRYING(mutex_trylock, VEK_MUTEX, VEK_EXCLUSIVE, mutex, mutex);
}

VEK_EXPORT int pthread_mutex_timedlock(pthread_mutex_t *mutex, const struct timespec *timeout)
{
    VEK_BLOCKING(mutex_timedlock, VEK_MUTEX, VEK_EXCLUSIVE, mutex, mutex, timeout);
}

VEK_EXPORT int pthread_mutex_clocklock(pthread_mutex_t *mutex, clockid_t clock, const struct timespec *timeout)
{
    VEK_BLOCKING(mutex_clocklock, VEK_MUTEX, VEK_EXCLUSIVE, mutex, mutex, clock, timeout);
}

VEK_EXPORT int pthread_mutex_unlock(pthread_mutex_t *mutex)
{
    if (!vek_checking())
        return vek_real.mutex_unlock(mutex);
    /* Leave the held set before the lock is free for another thread. */
    vek_before_release((uintptr_t)mutex, VEK_MUTEX);
    return vek_real.mutex_unlock(mutex);
}

/* Initialising makes a new lock: whatever the old one at this address was
 * ordered against no longer applies. */
VEK_EXPORT int pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr)
{
    if (!vek_checking())
        return vek_real.mutex_init(mutex, attr);
    vek_graph_forget((uintptr_t)mutex);
    return vek_real.mutex_init(mutex, attr);
}

VEK_EXPORT int pthread_mutex_destroy(pthread_mutex_t *mutex)
{
    if (!vek_checking())
        return vek_real.mutex_destroy(mutex);
    vek_before_destroy((uintptr_t)mutex, VEK_MUTEX);
    int rc = vek_real.mutex_destroy(mutex);
    if (rc == 0)
        vek_after_destroy((uintptr_t)mutex);
    return rc;
}

/* Waiting releases the mutex and takes it again before returning, timed
 * out or not; only a call refused outright leaves it as it was. */
static int before_wait(pthread_mutex_t *mutex)
{
    struct vek_thread *self = vek_self();
    int held_before = self != NULL && vek_find_held(self, (uintptr_t)mutex) != NULL;
    vek_before_release((uintptr_t)mutex, VEK_MUTEX);
    return held_before;
}

static int after_wait(pthread_mutex_t *mutex, uintptr_t pc, int held_before, int rc)
{
    if (held_before || (rc != EPERM && rc != EINVAL)) {
        struct vek_site site = vek_site_here(pc);
        vek_before_acquire((uintptr_t)mutex, VEK_MUTEX, site);
        vek_after_acquire((uintptr_t)mutex, VEK_MUTEX, VEK_EXCLUSIVE, site);
    }
    return rc;
}

VEK_EXPORT int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex)
{
    if (!vek_checking())
        return vek_real.cond_wait(cond, mutex);
    int held_before = before_wait(mutex);
    return after_wait(mutex, VEK_CALLER, held_before, vek_real.cond_wait(cond, mutex));
}

VEK_EXPORT int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex, const struct timespec *timeout)
{
    if (!vek_checking())
        return vek_real.cond_timedwait(cond, mutex, timeout);
    int held_before = before_wait(mutex);
    return after_wait(mutex, VEK_CALLER, held_before, vek_real.cond_timedwait(cond, mutex, timeout));
}

VEK_EXPORT int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                                      const struct timespec *timeout)
{
    if (!vek_checking())
        return vek_real.cond_clockwait(cond, mutex, clock, timeout);
    int held_before = before_wait(mutex);
    return after_wait(mutex, VEK_CALLER, held_before, vek_real.cond_clockwait(cond, mutex, clock, timeout));
}
