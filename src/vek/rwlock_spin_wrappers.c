/* The program's read-write lock and spinlock calls. A read lock orders like
 * any other: a writer waiting between two readers closes the same cycles. */
#include "vek.h"

VEK_EXPORT int pthread_rwlock_rdlock(pthread_rwlock_t *lock)
{
    VEK_BLOCKING(rwlock_rdlock, VEK_RWLOCK, VEK_SHARED, lock, lock);
}

VEK_EXPORT int pthread_rwlock_wrlock(pthread_rwlock_t *lock)
{
    VEK_BLOCKING(rwlock_wrlock, VEK_RWLOCK, VEK_EXCLUSIVE, lock, lock);
}

VEK_EXPORT int pthread_rwlock_timedrdlock(pthread_rwlock_t *lock, const struct timespec *timeout)
{
    VEK_BLOCKING(rwlock_timedrdlock, VEK_RWLOCK, VEK_SHARED, lock, lock, timeout);
}

VEK_EXPORT int pthread_rwlock_timedwrlock(pthread_rwlock_t *lock, const struct timespec *timeout)
{
    VEK_BLOCKING(rwlock_timedwrlock, VEK_RWLOCK, VEK_EXCLUSIVE, lock, lock, timeout);
}

VEK_EXPORT int pthread_rwlock_clockrdlock(pthread_rwlock_t *lock, clockid_t clock, const struct timespec *timeout)
{
    VEK_BLOCKING(rwlock_clockrdlock, VEK_RWLOCK, VEK_SHARED, lock, lock, clock, timeout);
}

VEK_EXPORT int pthread_rwlock_clockwrlock(pthread_rwlock_t *lock, clockid_t clock, const struct timespec *timeout)
{
    VEK_BLOCKING(rwlock_clockwrlock, VEK_RWLOCK, VEK_EXCLUSIVE, lock, lock, clock, timeout);
}

VEK_EXPORT int pthread_rwlock_tryrdlock(pthread_rwlock_t *lock)
{
    VEK_TRYING(rwlock_tryrdlock, VEK_RWLOCK, VEK_SHARED, lock, lock);
}

VEK_EXPORT int pthread_rwlock_trywrlock(pthread_rwlock_t *lock)
{
    VEK_TRYING(rwlock_trywrlock, VEK_RWLOCK, VEK_EXCLUSIVE, lock, lock);
}

VEK_EXPORT int pthread_rwlock_unlock(pthread_rwlock_t *lock)
{
    if (!vek_checking())
        return vek_real.rwlock_unlock(lock);
    vek_before_release((uintptr_t)lock, VEK_RWLOCK);
    return vek_real.rwlock_unlock(lock);
}

VEK_EXPORT int pthread_rwlock_init(pthread_rwlock_t *lock, const pthread_rwlockattr_t *attr)
{
    if (!vek_checking())
        return vek_real.rwlock_init(lock, attr);
    vek_graph_forget((uintptr_t)lock);
    return vek_real.rwlock_init(lock, attr);
}

VEK_EXPORT int pthread_rwlock_destroy(pthread_rwlock_t *lock)
{
    if (!vek_checking())
        return vek_real.rwlock_destroy(lock);
    vek_before_destroy((uintptr_t)lock, VEK_RWLOCK);
    int rc = vek_real.rwlock_destroy(lock);
    if (rc == 0)
        vek_after_destroy((uintptr_t)lock);
    return rc;
}

VEK_EXPORT int pthread_spin_lock(pthread_spinlock_t *lock)
{
    VEK_BLOCKING(spin_lock, VEK_SPINLOCK, VEK_EXCLUSIVE, lock, lock);
}

VEK_EXPORT int pthread_spin_trylock(pthread_spinlock_t *lock)
{
    VEK_TRYING(spin_trylock, VEK_SPINLOCK, VEK_EXCLUSIVE, lock, lock);
}

VEK_EXPORT int pthread_spin_unlock(pthread_spinlock_t *lock)
{
    if (!vek_checking())
        return vek_real.spin_unlock(lock);
    vek_before_release((uintptr_t)lock, VEK_SPINLOCK);
    return vek_real.spin_unlock(lock);
}

VEK_EXPORT int pthread_spin_init(pthread_spinlock_t *lock, int shared)
{
    if (!vek_checking())
        return vek_real.spin_init(lock, shared);
    vek_graph_forget((uintptr_t)lock);
    return vek_real.spin_init(lock, shared);
}

VEK_EXPORT int pthread_spin_destroy(pthread_spinlock_t *lock)
{
    if (!vek_checking())
        return vek_real.spin_destroy(lock);
    vek_before_destroy((uintptr_t)lock, VEK_SPINLOCK);
    int rc = vek_real.spin_destroy(lock);
    if (rc == 0)
        vek_after_destroy((uintptr_t)lock);
    return rc;
}
