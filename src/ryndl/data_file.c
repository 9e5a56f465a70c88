/* Writes an object's data file, merging with the runs before it. Runs at
 * exit, before an exec and inside fatal-signal handlers, so it uses system
 * calls only: no allocation, no stdio, nothing the program may hold. */
#include "data_counts.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sched.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

volatile int ryn_recording = 1;

/* One writer at a time in a process; the owner's thread id, or 0. */
static volatile pid_t flush_owner;

struct out {
    int fd;
    size_t used;
    int failed;
    char buffer[16384];
};
static struct out out;

static void out_flush(void)
{
    const char *p = out.buffer;
    while (out.used > 0 && !out.failed) {
        ssize_t n = write(out.fd, p, out.used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            out.failed = 1;
            break;
        }
        p += n;
        out.used -= (size_t)n;
    }
    out.used = 0;
}

static void out_bytes(const char *text, size_t length)
{
    while (length > 0) {
        if (out.used == sizeof out.buffer)
            out_flush();
        size_t room = sizeof out.buffer - out.used;
        size_t n = length < room ? length : room;
        memcpy(out.buffer + out.used, text, n);
        out.used += n;
        text += n;
        length -= n;
    }
}

static void out_text(const char *text)
{
    out_bytes(text, strlen(text));
}

static void out_number(uint64_t value, unsigned base)
{
    char digits[24];
    char *end = digits + sizeof digits;
    char *start = ryn_format_u64(end, value, base);
    out_bytes(start, (size_t)(end - start));
}

/* A string of the table, or "" when the offset does not point inside it. */
static const char *table_string(const struct ryn_object *object, uint32_t offset)
{
    if (offset >= object->strings_size)
        return "";
    return object->strings + offset;
}

static void make_directories(const char *path)
{
    /* Static like every buffer of the writers: they run in signal handlers,
     * perhaps on a small alternate stack, and only one writer runs at once. */
    static char partial[PATH_MAX];
    ryn_strlcpy(partial, path, sizeof partial);
    for (char *slash = strchr(partial + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash != NULL)
            *slash = '\0';
        mkdir(partial, 0777);
        if (slash == NULL)
            break;
        *slash = '/';
    }
}

/* Takes the lock file. Whoever held it last removed it, so a lock on a file
 * no longer at that name is worthless: try again. */
static int take_lock(const char *lock_path)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return -1;
        int locked;
        do
            locked = flock(fd, LOCK_EX);
        while (locked != 0 && errno == EINTR);
        struct stat held, named;
        if (locked == 0 && fstat(fd, &held) == 0 && stat(lock_path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        close(fd);
    }
    return -1;
}

static uint64_t add_saturating(uint64_t a, uint64_t b)
{
    return a + b < a ? UINT64_MAX : a + b;
}

static void out_tab_number(uint64_t value, unsigned base)
{
    out_text("\t");
    out_number(value, base);
}

/* Writes the object's data: this run's counts since its last write, added to
 * those of `previous` (NULL: a file of its own). */
static void write_object(struct ryn_object *object, struct ryn_previous *previous)
{
    /* A counting object whose block could take no site counts that block
     * the one-shot way, yet the data stays exact: only the counts of those
     * rare blocks are runs. */
    int exact = object->snapshots != NULL && (previous == NULL || previous->exact);
    out_text(RYN_DATA_HEADER "\nobject ");
    out_text(object->original);
    out_text("\ndigest ");
    out_bytes(object->digest, RYN_DIGEST_CHARS);
    out_text("\nprogram ");
    out_text(ryn_settings.program);
    out_text(exact ? "\ncounts exact\nblocks " : "\ncounts runs\nblocks ");
    out_number(object->count, 10);
    out_text("\n");
    uint32_t entries = 0;
    for (uint32_t i = 0; i < object->count; ++i) {
        const struct ryn_probe *probe = &object->probes[i];
        uint64_t count = ryn_block_delta(object, i);
        if (previous)
            count = add_saturating(count, ryn_previous_block(previous, probe));
        entries += (probe->flags & RYN_PROBE_FUNCTION_ENTRY) != 0;
        out_number(probe->addr, 16);
        out_tab_number(probe->insn_count, 10);
        out_tab_number(probe->line, 10);
        out_tab_number(probe->flags, 10);
        out_tab_number(count, 10);
        out_text("\t");
        out_text(table_string(object, probe->function));
        out_text("\t");
        out_text(table_string(object, probe->file));
        out_text("\n");
    }
    uint32_t branches = object->branches ? object->branch_count : 0;
    if (previous)
        ryn_previous_skip_line(previous);
    out_text("branches ");
    out_number(branches, 10);
    out_text("\n");
    for (uint32_t i = 0; i < branches; ++i) {
        const struct ryn_branch *branch = &object->branches[i];
        uint64_t taken, not_taken, old_taken = 0, old_not_taken = 0;
        ryn_branch_delta(object, i, &taken, &not_taken);
        if (previous)
            ryn_previous_branch(previous, branch, &old_taken, &old_not_taken);
        out_number(branch->addr, 16);
        out_tab_number(branch->block, 16);
        out_tab_number(add_saturating(taken, old_taken), 10);
        out_tab_number(add_saturating(not_taken, old_not_taken), 10);
        out_text("\n");
    }
    if (previous)
        ryn_previous_skip_line(previous);
    out_text("calls ");
    out_number(entries, 10);
    out_text("\n");
    for (uint32_t i = 0; i < object->count; ++i) {
        const struct ryn_probe *probe = &object->probes[i];
        if (!(probe->flags & RYN_PROBE_FUNCTION_ENTRY))
            continue;
        uint64_t calls = ryn_calls_delta(object, i);
        if (previous)
            calls = add_saturating(calls, ryn_previous_calls(previous, probe->addr));
        out_number(probe->addr, 16);
        out_tab_number(calls, 10);
        out_text("\n");
    }
    ryn_write_indirect(object, previous, out_bytes);
    out_flush();
}

/* Whether the file at the data path is this build's data already. */
static int previous_is_current(const struct ryn_object *object)
{
    struct ryn_previous previous;
    if (!ryn_previous_open(&previous, object))
        return 0;
    ryn_previous_close(&previous);
    return 1;
}

static void flush_locked(struct ryn_object *object)
{
    if (!object->active || object->count == 0 || !ryn_recording)
        return;
    /* A run that counted nothing new adds nothing to data of its own build;
     * the file is complete and renamed into place, so no lock is needed. */
    if (!ryn_counts_take(object) && previous_is_current(object))
        return;
    make_directories(object->data_dir);
    static char lock_path[PATH_MAX + 8], temp_path[PATH_MAX + 32];
    ryn_strlcpy(lock_path, object->data_path, sizeof lock_path);
    ryn_strlcat(lock_path, ".lock", sizeof lock_path);
    char digits[24];
    char *end = digits + sizeof digits - 1;
    *end = '\0';
    ryn_strlcpy(temp_path, object->data_path, sizeof temp_path);
    ryn_strlcat(temp_path, ".", sizeof temp_path);
    ryn_strlcat(temp_path, ryn_format_u64(end, (uint64_t)syscall(SYS_getpid), 10), sizeof temp_path);
    ryn_strlcat(temp_path, ".tmp", sizeof temp_path);

    int written = 0;
    int lock = take_lock(lock_path);
    if (lock >= 0) {
        /* Static: the writers may run on a small alternate signal stack. */
        static struct ryn_previous previous;
        int merge = ryn_previous_open(&previous, object);
        out.fd = open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (out.fd >= 0) {
            out.used = 0;
            out.failed = 0;
            write_object(object, merge ? &previous : NULL);
            int failed = out.failed;
            close(out.fd);
            if (failed || rename(temp_path, object->data_path) != 0)
                unlink(temp_path);
            else
                written = 1;
        }
        if (merge)
            ryn_previous_close(&previous);
        unlink(lock_path);
        close(lock);
    }
    ryn_counts_settle(object, written);
}

/* Returns 0 when the writer is busy in this very thread (a signal arrived
 * while it wrote); another thread's turn is awaited. */
static int enter_writer(void)
{
    pid_t self = (pid_t)syscall(SYS_gettid);
    for (int spins = 0;; ++spins) {
        pid_t owner = 0;
        if (__atomic_compare_exchange_n(&flush_owner, &owner, self, 0, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return 1;
        if (owner == self || spins > 20000)
            return 0;
        struct timespec pause = {0, 100000};
        nanosleep(&pause, NULL);
    }
}

static void leave_writer(void)
{
    __atomic_store_n(&flush_owner, 0, __ATOMIC_RELEASE);
}

void ryn_flush_object(struct ryn_object *object)
{
    int saved_errno = errno;
    if (enter_writer()) {
        flush_locked(object);
        leave_writer();
    }
    errno = saved_errno;
}

void ryn_flush_all(void)
{
    int saved_errno = errno;
    if (enter_writer()) {
        for (int i = 0; i < RYN_MAX_OBJECTS; ++i)
            if (ryn_objects[i].active)
                flush_locked(&ryn_objects[i]);
        leave_writer();
    }
    errno = saved_errno;
}

/* Runs in a fork child before it returns to the program. A thread that was
 * writing when another one forked does not exist in the child, and what the
 * parent counted is the parent's to write. */
void ryn_flush_reset_after_fork(void)
{
    flush_owner = 0;
    for (int i = 0; i < RYN_MAX_OBJECTS; ++i)
        if (ryn_objects[i].active)
            ryn_counts_reset_after_fork(&ryn_objects[i]);
}
