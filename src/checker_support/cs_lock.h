/* A small lock that is safe to take inside malloc and to release in a fork
 * child. C only: the runtimes use it, tests need not. */
#ifndef RYN_CS_LOCK_H
#define RYN_CS_LOCK_H

#include <stdatomic.h>

typedef struct {
    atomic_int held;
} cs_lock_t;
void cs_lock(cs_lock_t *lock);
void cs_unlock(cs_lock_t *lock);

#endif
