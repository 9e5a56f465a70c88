/* Writes an object's data file, merging with the runs before it. Runs at
 * exit, before an exec and inside fatal-signal handlers, so it uses system
 * calls only: no allocation, no stdio, nothing the program may hold. */
#include "runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sched.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
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
        if (locked == 0 && fstat(fd, &held) == 0 && stat(lock_path, &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return fd;
        close(fd);
    }
    return -1;
}

static uint64_t parse_number(const char **cursor, const char *end, unsigned base, int *ok)
{
    uint64_t value = 0;
    const char *p = *cursor;
    int digits = 0;
    for (; p < end; ++p, ++digits) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = (unsigned)(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = (unsigned)(*p - 'a' + 10);
        else
            break;
        value = value * base + digit;
    }
    if (digits == 0)
        *ok = 0;
    *cursor = p;
    return value;
}

static int expect(const char **cursor, const char *end, const char *text)
{
    size_t length = strlen(text);
    if ((size_t)(end - *cursor) < length || memcmp(*cursor, text, length) != 0)
        return 0;
    *cursor += length;
    return 1;
}

static const char *skip_line(const char *p, const char *end)
{
    const char *newline = memchr(p, '\n', (size_t)(end - p));
    return newline ? newline + 1 : end;
}

/* Reads the counts of an existing file of the same build into old_counts;
 * returns 0 when there is none or it describes something else. */
static int read_previous(struct ryn_object *object)
{
    int fd = open(object->data_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        close(fd);
        return 0;
    }
    size_t size = (size_t)st.st_size;
    const char *text = mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (text == MAP_FAILED)
        return 0;
    const char *p = text, *end = text + size;
    int ok = expect(&p, end, RYN_DATA_HEADER "\n");
    p = skip_line(p, end); /* object */
    ok = ok && expect(&p, end, "digest ");
    ok = ok && (size_t)(end - p) > RYN_DIGEST_CHARS &&
         memcmp(p, object->digest, RYN_DIGEST_CHARS) == 0 && p[RYN_DIGEST_CHARS] == '\n';
    if (ok) {
        p = skip_line(p, end);
        p = skip_line(p, end); /* program */
        p = skip_line(p, end); /* counts */
        ok = expect(&p, end, "blocks ");
    }
    if (ok && parse_number(&p, end, 10, &ok) != object->count)
        ok = 0;
    if (ok)
        p = skip_line(p, end);
    for (uint32_t i = 0; ok && i < object->count; ++i) {
        ok = parse_number(&p, end, 16, &ok) == object->probes[i].addr && ok;
        for (int field = 0; ok && field < 3; ++field) {
            ok = expect(&p, end, "\t");
            parse_number(&p, end, 10, &ok);
        }
        ok = ok && expect(&p, end, "\t");
        if (ok)
            object->old_counts[i] = (uint32_t)parse_number(&p, end, 10, &ok);
        p = skip_line(p, end);
    }
    munmap((void *)text, size);
    return ok;
}

static void write_object(struct ryn_object *object, int merge)
{
    out_text(RYN_DATA_HEADER "\nobject ");
    out_text(object->original);
    out_text("\ndigest ");
    out_bytes(object->digest, RYN_DIGEST_CHARS);
    out_text("\nprogram ");
    out_text(ryn_settings.program);
    out_text("\ncounts runs\nblocks ");
    out_number(object->count, 10);
    out_text("\n");
    for (uint32_t i = 0; i < object->count; ++i) {
        const struct ryn_probe *probe = &object->probes[i];
        uint64_t count = merge ? object->old_counts[i] : 0;
        if (object->hits[i] == HIT_NEW)
            ++count;
        out_number(probe->addr, 16);
        out_text("\t");
        out_number(probe->insn_count, 10);
        out_text("\t");
        out_number(probe->line, 10);
        out_text("\t");
        out_number(probe->flags, 10);
        out_text("\t");
        out_number(count, 10);
        out_text("\t");
        out_text(table_string(object, probe->function));
        out_text("\t");
        out_text(table_string(object, probe->file));
        out_text("\n");
    }
    out_text("branches 0\ncalls 0\n");
    out_flush();
}

static int has_new_hits(const struct ryn_object *object)
{
    for (uint32_t i = 0; i < object->count; ++i)
        if (object->hits[i] == HIT_NEW)
            return 1;
    return 0;
}

static void flush_locked(struct ryn_object *object)
{
    if (!object->active || object->count == 0 || !ryn_recording)
        return;
    /* A run that reached nothing new adds nothing to data of its own build;
     * the file is complete and renamed into place, so no lock is needed. */
    if (!has_new_hits(object) && read_previous(object))
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
    ryn_strlcat(temp_path, ryn_format_u64(end, (uint64_t)syscall(SYS_getpid), 10),
                sizeof temp_path);
    ryn_strlcat(temp_path, ".tmp", sizeof temp_path);

    int lock = take_lock(lock_path);
    if (lock < 0)
        return;
    int merge = read_previous(object);
    out.fd = open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out.fd >= 0) {
        out.used = 0;
        out.failed = 0;
        write_object(object, merge);
        int failed = out.failed;
        close(out.fd);
        if (failed || rename(temp_path, object->data_path) != 0) {
            unlink(temp_path);
        } else {
            for (uint32_t i = 0; i < object->count; ++i)
                if (object->hits[i] == HIT_NEW)
                    object->hits[i] = HIT_WRITTEN;
        }
    }
    unlink(lock_path);
    close(lock);
}

/* Returns 0 when the writer is busy in this very thread (a signal arrived
 * while it wrote); another thread's turn is awaited. */
static int enter_writer(void)
{
    pid_t self = (pid_t)syscall(SYS_gettid);
    for (int spins = 0;; ++spins) {
        pid_t owner = 0;
        if (__atomic_compare_exchange_n(&flush_owner, &owner, self, 0, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
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

/* A thread that was writing when another one forked does not exist in the
 * child. */
void ryn_flush_reset_after_fork(void)
{
    flush_owner = 0;
}
