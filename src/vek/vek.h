/* State shared by the parts of the thread checker that live inside the
 * checked program: the next definitions of the calls it wraps, each thread's
 * set of held locks, the graph of lock orders, and the error reports.
 * Everything is plain C on memory from mmap, never the program's heap. */
#ifndef VEK_VEK_H
#define VEK_VEK_H

#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

/* cs_in_runtime is nonzero while this thread runs the checker's own code:
 * lock calls made from there (by the unwinder, the symboliser, dlsym) go
 * straight through. */
#include "checker_support.h"

#define VEK_EXPORT __attribute__((visibility("default")))
#define VEK_TLS __attribute__((tls_model("initial-exec")))

/* How many locks one thread can hold at once before we lose track. */
#define VEK_MAX_HELD 64
/* Direct-mapped cache of lock orders a thread has already put in the graph. */
#define VEK_EDGE_CACHE 64

enum vek_lock_kind { VEK_MUTEX, VEK_RWLOCK, VEK_SPINLOCK };
enum vek_mode { VEK_EXCLUSIVE, VEK_SHARED };

/* Where a lock operation happened: the program's call site, and the whole
 * stack when one was taken (0 when none). */
struct vek_site {
    uintptr_t pc;
    uint32_t stack;
};

struct vek_held {
    uintptr_t addr;
    uint32_t depth; /* recursive mutexes and repeated read locks */
    uint8_t kind;
    uint8_t mode;
    struct vek_site acquired;
};

struct vek_edge_seen {
    uintptr_t from, to;
    uint64_t epoch;
};

/* One thread's state. Records live in a shared mmap'd table, so that a free
 * in one thread can see the locks every other thread holds. */
struct vek_thread {
    _Atomic int in_use;
    _Atomic uint32_t count;
    int overflowed; /* held more than VEK_MAX_HELD at some point */
    int tid;
    struct vek_held held[VEK_MAX_HELD];
    struct vek_edge_seen seen[VEK_EDGE_CACHE];
};

/* real_calls.c: the definitions our wrappers stand in front of. */
struct vek_reals {
    int (*mutex_lock)(pthread_mutex_t *);
    int (*mutex_trylock)(pthread_mutex_t *);
    int (*mutex_timedlock)(pthread_mutex_t *, const struct timespec *);
    int (*mutex_clocklock)(pthread_mutex_t *, clockid_t, const struct timespec *);
    int (*mutex_unlock)(pthread_mutex_t *);
    int (*mutex_init)(pthread_mutex_t *, const pthread_mutexattr_t *);
    int (*mutex_destroy)(pthread_mutex_t *);
    int (*rwlock_rdlock)(pthread_rwlock_t *);
    int (*rwlock_wrlock)(pthread_rwlock_t *);
    int (*rwlock_tryrdlock)(pthread_rwlock_t *);
    int (*rwlock_trywrlock)(pthread_rwlock_t *);
    int (*rwlock_timedrdlock)(pthread_rwlock_t *, const struct timespec *);
    int (*rwlock_timedwrlock)(pthread_rwlock_t *, const struct timespec *);
    int (*rwlock_clockrdlock)(pthread_rwlock_t *, clockid_t, const struct timespec *);
    int (*rwlock_clockwrlock)(pthread_rwlock_t *, clockid_t, const struct timespec *);
    int (*rwlock_unlock)(pthread_rwlock_t *);
    int (*rwlock_init)(pthread_rwlock_t *, const pthread_rwlockattr_t *);
    int (*rwlock_destroy)(pthread_rwlock_t *);
    int (*spin_lock)(pthread_spinlock_t *);
    int (*spin_trylock)(pthread_spinlock_t *);
    int (*spin_unlock)(pthread_spinlock_t *);
    int (*spin_init)(pthread_spinlock_t *, int);
    int (*spin_destroy)(pthread_spinlock_t *);
    int (*cond_wait)(pthread_cond_t *, pthread_mutex_t *);
    int (*cond_timedwait)(pthread_cond_t *, pthread_mutex_t *, const struct timespec *);
    int (*cond_clockwait)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *);
    void (*free)(void *);
    size_t (*malloc_usable_size)(void *);
};
extern struct vek_reals vek_real;
/* Resolves every entry once; safe to call from any wrapper at any time. */
void vek_resolve_reals(void);
/* While dlsym fills the table it may free its own memory, and only free:
 * the dynamic linker takes its locks without the program's lock calls. */
extern void __libc_free(void *);
/* Prepares a wrapper; false when the call must go straight through. */
static inline int vek_checking(void)
{
    vek_resolve_reals();
    return !cs_in_runtime;
}

/* thread_state.c */
/* This thread's record, created on first use; NULL when none can be had. */
struct vek_thread *vek_self(void);
/* This thread's record if it has one already. */
struct vek_thread *vek_self_if_any(void);
struct vek_held *vek_find_held(struct vek_thread *self, uintptr_t addr);
/* Adds a lock to the thread's set, or deepens an entry already there. */
void vek_push_held(struct vek_thread *self, uintptr_t addr, enum vek_lock_kind kind, enum vek_mode mode,
                   struct vek_site site);
void vek_drop_held(struct vek_thread *self, struct vek_held *entry);
/* Whether any thread holds any lock now (a racy but safe look). */
int vek_any_held(void);
/* Calls visit for every lock any thread holds inside [low, high). */
void vek_for_each_held_in(uintptr_t low, uintptr_t high,
                          void (*visit)(struct vek_thread *holder, struct vek_held *held, void *arg), void *arg);
void vek_threads_init(void);
/* The child of a fork has only the thread that forked: the others' locks
 * are nobody's any more. */
void vek_threads_after_fork_in_child(void);

/* One acquired-before order: `to` acquired while `from` was held, at site. */
struct vek_order {
    uintptr_t from, to;
    uint8_t from_kind, to_kind;
    struct vek_site site;
};

/* lock_graph.c and graph_store.c: the acquired-before graph, under its own
 * lock. */
/* Records that `to` is being acquired while `from` is held. Returns 1 when
 * the order is new and closes a cycle, which has then been reported. */
int vek_graph_add_order(uintptr_t from, enum vek_lock_kind from_kind, uintptr_t to, enum vek_lock_kind to_kind,
                        struct vek_site site);
/* A lock that was destroyed or whose memory was freed leaves the graph. */
void vek_graph_forget(uintptr_t addr);
void vek_graph_forget_range(uintptr_t low, uintptr_t high);
int vek_graph_empty(void);
/* Changes whenever a lock leaves the graph, so per-thread caches of known
 * orders can tell they are stale. */
uint64_t vek_graph_epoch(void);
void vek_graph_lock_for_fork(void);
void vek_graph_unlock_after_fork(void);

/* lock_events.c: what every wrapper does around the real call. */
/* The current call, with its stack: where a lock is taken is shown by every
 * report about that lock later. */
struct vek_site vek_site_here(uintptr_t pc);
void vek_before_acquire(uintptr_t addr, enum vek_lock_kind kind, struct vek_site site);
void vek_after_acquire(uintptr_t addr, enum vek_lock_kind kind, enum vek_mode mode, struct vek_site site);
void vek_before_release(uintptr_t addr, enum vek_lock_kind kind);
void vek_before_destroy(uintptr_t addr, enum vek_lock_kind kind);
void vek_after_destroy(uintptr_t addr);
void vek_before_free(void *ptr);
void vek_thread_ending(struct vek_thread *self);

/* errors.c */
enum vek_error_kind {
    VEK_LOCK_ORDER_INVERSION,
    VEK_UNLOCK_NOT_HELD,
    VEK_DESTROY_HELD_LOCK,
    VEK_FREE_HELD_LOCK,
    VEK_EXIT_HOLDING_LOCK,
    VEK_ERROR_KINDS
};
const char *vek_kind_name(enum vek_lock_kind kind);
/* orders[0] closed the cycle; the rest lead from its lock back to its held
 * lock. Reported once per cycle, since the closing order is then known. */
void vek_report_inversion(const struct vek_order *orders, int count);
/* One error about one lock, found at the current call when `now` is set
 * (its stack is taken here), else at the place `acquired` says; `acquired`,
 * when its pc is set, is where the lock was taken. */
void vek_report_lock_error(enum vek_error_kind error, uintptr_t lock, enum vek_lock_kind kind, const char *detail,
                           int now, struct vek_site acquired);
/* Writes the summary when the process found something; returns whether it
 * found any error. */
int vek_finish_reports(void);
void vek_errors_before_fork(void);
void vek_errors_after_fork(int in_child);

/* A lock call counts as taken when the real call says so; a robust mutex
 * whose owner died is taken too. */
static inline int vek_lock_taken(int rc)
{
    return rc == 0 || rc == EOWNERDEAD;
}

#define VEK_CALLER ((uintptr_t)__builtin_return_address(0))

/* The body of a wrapper of a lock call that may wait: the order is checked
 * before the call can block, the lock is held once it returns taken. */
#define VEK_BLOCKING(field, kind, mode, lock, ...)                  \
    do {                                                            \
        if (!vek_checking())                                        \
            return vek_real.field(__VA_ARGS__);                     \
        struct vek_site site = vek_site_here(VEK_CALLER);           \
        vek_before_acquire((uintptr_t)(lock), kind, site);          \
        int rc = vek_real.field(__VA_ARGS__);                       \
        if (vek_lock_taken(rc))                                     \
            vek_after_acquire((uintptr_t)(lock), kind, mode, site); \
        return rc;                                                  \
    } while (0)

/* A try call never waits, so it cannot deadlock and orders nothing; the lock
 * it takes is held all the same. */
#define VEK_TRYING(field, kind, mode, lock, ...)                                         \
    do {                                                                                 \
        if (!vek_checking())                                                             \
            return vek_real.field(__VA_ARGS__);                                          \
        int rc = vek_real.field(__VA_ARGS__);                                            \
        if (vek_lock_taken(rc))                                                          \
            vek_after_acquire((uintptr_t)(lock), kind, mode, vek_site_here(VEK_CALLER)); \
        return rc;                                                                       \
    } while (0)

#endif
