/* The trampolines' counter increments carry a lock prefix so that counts stay
 * exact under threads. While the process has one thread the prefix only costs
 * time, so each counting object gets 0x3E (a segment prefix that changes
 * nothing for "inc qword [rip+x]") over its lock prefixes when it is loaded,
 * and every object gets 0xF0 back before a second thread can start: the
 * program's thread-starting calls are wrapped, as fork and exec are.
 *
 * A thread started some other way (the clone system call made directly, a
 * helper thread libc starts on its own) finds the prefixes gone: counts may
 * then miss an increment now and then, and the program runs as before. */
#include "runtime.h"

#include <errno.h>
#include <mqueue.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <threads.h>
#include <time.h>

#define PAGE 4096u
#define LOCK 0xF0
#define NO_LOCK 0x3E

/* Set before the first thread-starting call runs; from then on, and in the
 * fork children of such a process, every object keeps its lock prefixes. */
static volatile int second_thread_possible;

/* Replaces `from` by `to` at each of the object's lock prefixes, one page at
 * a time; a byte that is not `from` (another build, a write that failed) is
 * left alone. Returns whether every prefix now holds `to`. */
static int rewrite_locks(struct ryn_object *object, uint8_t from, uint8_t to)
{
    uint8_t page[PAGE];
    int all = 1;
    uint32_t i = 0;
    while (i < object->lock_count) {
        uintptr_t start = (object->bias + object->locks[i]) & ~(uintptr_t)(PAGE - 1);
        if (ryn_read_code(start, page, sizeof page) != 0) {
            all = 0;
            ++i;
            continue;
        }
        int changed = 0;
        for (; i < object->lock_count; ++i) {
            uintptr_t at = object->bias + object->locks[i];
            if (at - start >= sizeof page)
                break;
            if (page[at - start] == from) {
                page[at - start] = to;
                changed = 1;
            } else if (page[at - start] != to) {
                all = 0;
            }
        }
        if (changed && ryn_write_code(start, page, sizeof page) != 0)
            all = 0;
    }
    return all;
}

void ryn_drop_locks(struct ryn_object *object)
{
    if (!object->counting || object->lock_count == 0 || second_thread_possible)
        return;
    object->locks_dropped = 1;
    rewrite_locks(object, LOCK, NO_LOCK);
}

void ryn_before_second_thread(void)
{
    if (second_thread_possible)
        return;
    second_thread_possible = 1;
    for (int i = 0; i < RYN_MAX_OBJECTS; ++i) {
        struct ryn_object *object = &ryn_objects[i];
        if (__atomic_load_n(&object->active, __ATOMIC_ACQUIRE) && object->locks_dropped &&
            rewrite_locks(object, NO_LOCK, LOCK))
            object->locks_dropped = 0;
    }
}

typedef int (*pthread_create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
typedef int (*thrd_create_fn)(thrd_t *, thrd_start_t, void *);
typedef int (*timer_create_fn)(clockid_t, struct sigevent *, timer_t *);
typedef int (*mq_notify_fn)(mqd_t, const struct sigevent *);

/* The real function is known before its wrapper can be called (the binding
 * that leads here records it); failing like the real call is the safe answer
 * should it not be. */
static int wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    ryn_before_second_thread();
    pthread_create_fn real = (pthread_create_fn)ryn_real("pthread_create");
    return real ? real(thread, attr, start, arg) : EAGAIN;
}

static int wrap_thrd_create(thrd_t *thread, thrd_start_t start, void *arg)
{
    ryn_before_second_thread();
    thrd_create_fn real = (thrd_create_fn)ryn_real("thrd_create");
    return real ? real(thread, start, arg) : thrd_error;
}

/* Notifications of the SIGEV_THREAD kind run the program's function in a
 * thread of their own. */
static int wrap_timer_create(clockid_t clock, struct sigevent *event, timer_t *timer)
{
    if (event != NULL && event->sigev_notify == SIGEV_THREAD)
        ryn_before_second_thread();
    timer_create_fn real = (timer_create_fn)ryn_real("timer_create");
    if (real == NULL) {
        errno = EAGAIN;
        return -1;
    }
    return real(clock, event, timer);
}

static int wrap_mq_notify(mqd_t queue, const struct sigevent *event)
{
    if (event != NULL && event->sigev_notify == SIGEV_THREAD)
        ryn_before_second_thread();
    mq_notify_fn real = (mq_notify_fn)ryn_real("mq_notify");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(queue, event);
}

/* A child sharing the memory runs the same trampolines at the same time; the
 * optional arguments are passed on whether or not the flags use them, as the
 * real function reads only those its flags name. */
typedef int (*clone_fn)(int (*)(void *), void *, int, void *, ...);
static int wrap_clone(int (*start)(void *), void *stack, int flags, void *arg, ...)
{
    va_list extra;
    va_start(extra, arg);
    pid_t *parent_tid = va_arg(extra, pid_t *);
    void *tls = va_arg(extra, void *);
    pid_t *child_tid = va_arg(extra, pid_t *);
    va_end(extra);
    if (flags & CLONE_VM)
        ryn_before_second_thread();
    clone_fn real = (clone_fn)ryn_real("clone");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(start, stack, flags, arg, parent_tid, tls, child_tid);
}

uintptr_t ryn_thread_wrapper_for(const char *name)
{
    static const struct {
        const char *name;
        uintptr_t wrapper;
    } table[] = {
        {"pthread_create", (uintptr_t)wrap_pthread_create},
        {"thrd_create", (uintptr_t)wrap_thrd_create},
        {"timer_create", (uintptr_t)wrap_timer_create},
        {"mq_notify", (uintptr_t)wrap_mq_notify},
        {"clone", (uintptr_t)wrap_clone},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (strcmp(table[i].name, name) == 0)
            return table[i].wrapper;
    return 0;
}
