/* Reads the data file a run of the same build left, so that this run adds to
 * its counts. Anything that is not that build's data line for line (another
 * digest, another format version, a file cut short or damaged) is not merged
 * but replaced. The caller holds the data file's lock. */
#include "data_counts.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static uint64_t number(struct ryn_previous *previous, unsigned base)
{
    uint64_t value = 0;
    const char *p = previous->p;
    for (; p < previous->end; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = (unsigned)(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = (unsigned)(*p - 'a' + 10);
        else
            break;
        if (value > (UINT64_MAX - digit) / base)
            previous->ok = 0;
        value = value * base + digit;
    }
    if (p == previous->p)
        previous->ok = 0;
    previous->p = p;
    return value;
}

static void expect(struct ryn_previous *previous, const char *text)
{
    size_t length = strlen(text);
    if ((size_t)(previous->end - previous->p) < length || memcmp(previous->p, text, length) != 0) {
        previous->ok = 0;
        return;
    }
    previous->p += length;
}

void ryn_previous_skip_line(struct ryn_previous *previous)
{
    const char *newline = memchr(previous->p, '\n', (size_t)(previous->end - previous->p));
    if (newline == NULL)
        previous->ok = 0;
    previous->p = newline ? newline + 1 : previous->end;
}

/* A "<name> <count>" line giving how many lines follow. */
static void expect_count(struct ryn_previous *previous, const char *name, uint64_t count)
{
    expect(previous, name);
    if (number(previous, 10) != count)
        previous->ok = 0;
    expect(previous, "\n");
}

uint64_t ryn_previous_block(struct ryn_previous *previous, const struct ryn_probe *probe)
{
    if (number(previous, 16) != probe->addr)
        previous->ok = 0;
    for (int field = 0; field < 3; ++field) { /* insn_count, line, flags */
        expect(previous, "\t");
        number(previous, 10);
    }
    expect(previous, "\t");
    uint64_t count = number(previous, 10);
    expect(previous, "\t");
    ryn_previous_skip_line(previous); /* function and file */
    return previous->ok ? count : 0;
}

void ryn_previous_branch(struct ryn_previous *previous, const struct ryn_branch *branch, uint64_t *taken,
                         uint64_t *not_taken)
{
    if (number(previous, 16) != branch->addr)
        previous->ok = 0;
    expect(previous, "\t");
    if (number(previous, 16) != branch->block)
        previous->ok = 0;
    expect(previous, "\t");
    *taken = number(previous, 10);
    expect(previous, "\t");
    *not_taken = number(previous, 10);
    expect(previous, "\n");
    if (!previous->ok)
        *taken = *not_taken = 0;
}

uint64_t ryn_previous_calls(struct ryn_previous *previous, uint64_t entry)
{
    if (number(previous, 16) != entry)
        previous->ok = 0;
    expect(previous, "\t");
    uint64_t calls = number(previous, 10);
    expect(previous, "\n");
    return previous->ok ? calls : 0;
}

uint64_t ryn_previous_indirect_count(struct ryn_previous *previous)
{
    expect(previous, "indirect ");
    uint64_t count = number(previous, 10);
    expect(previous, "\n");
    return previous->ok ? count : 0;
}

void ryn_previous_indirect(struct ryn_previous *previous, struct ryn_indirect_line *line)
{
    line->site = number(previous, 16);
    expect(previous, "\t");
    line->target = number(previous, 16);
    expect(previous, "\t");
    line->count = number(previous, 10);
    expect(previous, "\t");
    line->path = previous->p;
    ryn_previous_skip_line(previous);
    line->path_length = previous->ok ? (size_t)(previous->p - 1 - line->path) : 0;
    if ((line->target == 0) != (line->path_length == 0))
        previous->ok = 0;
    if (!previous->ok)
        line->count = 0;
}

static uint32_t entry_count(const struct ryn_object *object)
{
    uint32_t entries = 0;
    for (uint32_t i = 0; i < object->count; ++i)
        entries += (object->probes[i].flags & RYN_PROBE_FUNCTION_ENTRY) != 0;
    return entries;
}

/* Reads every line once, as the writer will, to know the file whole before
 * any of it is added. */
static void check_body(struct ryn_previous *previous, const struct ryn_object *object)
{
    uint64_t taken, not_taken;
    for (uint32_t i = 0; previous->ok && i < object->count; ++i)
        ryn_previous_block(previous, &object->probes[i]);
    expect_count(previous, "branches ", object->branches ? object->branch_count : 0);
    for (uint32_t i = 0; previous->ok && object->branches && i < object->branch_count; ++i)
        ryn_previous_branch(previous, &object->branches[i], &taken, &not_taken);
    expect_count(previous, "calls ", entry_count(object));
    for (uint32_t i = 0; previous->ok && i < object->count; ++i)
        if (object->probes[i].flags & RYN_PROBE_FUNCTION_ENTRY)
            ryn_previous_calls(previous, object->probes[i].addr);
    uint64_t indirect = previous->ok ? ryn_previous_indirect_count(previous) : 0;
    struct ryn_indirect_line line;
    for (uint64_t i = 0; previous->ok && i < indirect; ++i)
        ryn_previous_indirect(previous, &line);
    if (previous->p != previous->end)
        previous->ok = 0;
}

int ryn_previous_open(struct ryn_previous *previous, const struct ryn_object *object)
{
    memset(previous, 0, sizeof *previous);
    int fd = open(object->data_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        close(fd);
        return 0;
    }
    const char *text = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (text == MAP_FAILED)
        return 0;
    previous->text = previous->p = text;
    previous->size = (size_t)st.st_size;
    previous->end = text + previous->size;
    previous->ok = 1;

    expect(previous, RYN_DATA_HEADER "\nobject ");
    ryn_previous_skip_line(previous);
    expect(previous, "digest ");
    if (previous->ok && (size_t)(previous->end - previous->p) > RYN_DIGEST_CHARS &&
        memcmp(previous->p, object->digest, RYN_DIGEST_CHARS) == 0)
        previous->p += RYN_DIGEST_CHARS;
    else
        previous->ok = 0;
    expect(previous, "\nprogram ");
    ryn_previous_skip_line(previous);
    expect(previous, "counts ");
    if (previous->ok && (size_t)(previous->end - previous->p) >= 6 && memcmp(previous->p, "exact\n", 6) == 0) {
        previous->exact = 1;
        previous->p += 6;
    } else {
        expect(previous, "runs\n");
    }
    expect_count(previous, "blocks ", object->count);
    const char *body = previous->p;
    if (previous->ok)
        check_body(previous, object);
    if (!previous->ok) {
        ryn_previous_close(previous);
        return 0;
    }
    previous->p = body;
    return 1;
}

void ryn_previous_close(struct ryn_previous *previous)
{
    if (previous->text != NULL)
        munmap((void *)previous->text, previous->size);
    previous->text = NULL;
}
