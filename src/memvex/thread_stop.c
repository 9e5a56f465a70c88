/* Stopping the program's other threads for the leak scan: each task listed in
 * /proc/self/task gets a real-time signal whose handler records its stack
 * pointer and waits on a futex until released. Its registers then sit in the
 * signal frame, above that stack pointer, where the scan reads them. */
#include "leak_scan.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <stdatomic.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define STOP_SIGNAL (SIGRTMAX - 5)

/* The C library's own sigaction: the runtime's exported one chains the
 * program's handlers. */
int __sigaction(int signal, const struct sigaction *action, struct sigaction *old);

static struct mv_stopped_thread stopped[MV_MAX_STOPPED];
static size_t stopped_count;
static atomic_int parked;
static atomic_int release_word;
static struct sigaction previous;

static long futex(atomic_int *word, int op, int value, const struct timespec *timeout)
{
    return syscall(SYS_futex, word, op, value, timeout, NULL, 0);
}

static void park(int signal, siginfo_t *info, void *context)
{
    (void)signal;
    (void)info;
    (void)context;
    int saved_errno = errno;
    volatile uintptr_t here = 0;
    int tid = (int)syscall(SYS_gettid);
    for (size_t i = 0; i < stopped_count; ++i)
        if (stopped[i].tid == tid)
            stopped[i].sp = (uintptr_t)&here;
    atomic_fetch_add(&parked, 1);
    futex(&parked, FUTEX_WAKE_PRIVATE, 1, NULL);
    while (atomic_load(&release_word) == 0)
        futex(&release_word, FUTEX_WAIT_PRIVATE, 0, NULL);
    atomic_fetch_sub(&parked, 1);
    futex(&parked, FUTEX_WAKE_PRIVATE, 1, NULL);
    errno = saved_errno;
}

static int already_signalled(int tid)
{
    for (size_t i = 0; i < stopped_count; ++i)
        if (stopped[i].tid == tid)
            return 1;
    return 0;
}

/* Signals every task not signalled yet; returns how many were new. */
static size_t signal_new_tasks(int self)
{
    int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t fresh = 0;
    char buffer[4096];
    int pid = getpid();
    for (;;) {
        long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (long at = 0; at < got;) {
            struct {
                uint64_t inode;
                int64_t offset;
                unsigned short length;
                unsigned char type;
                char name[];
            } *entry = (void *)(buffer + at);
            at += entry->length;
            if (entry->name[0] < '0' || entry->name[0] > '9')
                continue;
            int tid = 0;
            for (const char *c = entry->name; *c >= '0' && *c <= '9'; ++c)
                tid = tid * 10 + (*c - '0');
            if (tid == self || already_signalled(tid) || stopped_count == MV_MAX_STOPPED)
                continue;
            stopped[stopped_count].tid = tid;
            stopped[stopped_count].sp = 0;
            ++stopped_count;
            /* A task that ended meanwhile is simply not waited for. */
            if (syscall(SYS_tgkill, pid, tid, STOP_SIGNAL) == 0)
                ++fresh;
            else
                stopped[--stopped_count].tid = 0;
        }
    }
    syscall(SYS_close, fd);
    return fresh;
}

size_t mv_stop_other_threads(const struct mv_stopped_thread **threads)
{
    *threads = stopped;
    stopped_count = 0;
    atomic_store(&parked, 0);
    atomic_store(&release_word, 0);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = park;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    if (__sigaction(STOP_SIGNAL, &action, &previous) != 0)
        return 0;
    int self = (int)syscall(SYS_gettid);
    size_t signalled = 0;
    /* A thread may start another while we list them: list until none is new. */
    for (size_t fresh; (fresh = signal_new_tasks(self)) > 0;)
        signalled += fresh;
    /* A thread that blocks the signal never parks; its whole stack is
     * scanned instead. Wait a bounded time for the others. */
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int now_parked = atomic_load(&parked);
        if ((size_t)now_parked >= signalled)
            break;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long waited_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited_ms > 500)
            break;
        struct timespec slice = {0, 10 * 1000 * 1000};
        futex(&parked, FUTEX_WAIT_PRIVATE, now_parked, &slice);
    }
    return stopped_count;
}

void mv_resume_other_threads(void)
{
    atomic_store(&release_word, 1);
    futex(&release_word, FUTEX_WAKE_PRIVATE, 0x7fffffff, NULL);
    /* Leave the handler in place until every parked thread has left it. */
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int now_parked; (now_parked = atomic_load(&parked)) > 0;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > 1)
            break;
        struct timespec slice = {0, 10 * 1000 * 1000};
        futex(&parked, FUTEX_WAIT_PRIVATE, now_parked, &slice);
    }
    /* A signal still pending for a thread that blocks it must not reach the
     * program's own disposition: ignoring it discards it. */
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    __sigaction(STOP_SIGNAL, &ignore, NULL);
    __sigaction(STOP_SIGNAL, &previous, NULL);
}
