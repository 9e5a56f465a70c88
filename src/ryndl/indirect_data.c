/* The targets indirect calls and jumps reached, as the data file names
 * them: each run-time target becomes the object it lies in and its
 * link-time address there. Runs inside the writer, perhaps in a signal
 * handler: system calls only, and the object list of /proc/self/maps, which
 * the dynamic linker's own lists cannot give without its lock. */
#include "data_counts.h"

#include <elf.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

/* One target of one site, counted since the last write. */
struct entry {
    uint64_t site, target, count;
    uint32_t path; /* offset into the path pool; NO_PATH: not attributed */
    uint32_t merged;
};
#define NO_PATH UINT32_MAX
#define POOL_SIZE (256 * 1024)

/* Static, as every buffer of the writers. */
static char line[PATH_MAX + 256];
static char base_path[PATH_MAX];
static char maps_buffer[8192];

/* Reads /proc/self/maps a line at a time; 0 at the end. */
struct maps {
    int fd;
    size_t used, start;
};

static int next_line(struct maps *maps)
{
    for (;;) {
        char *newline = memchr(maps_buffer + maps->start, '\n', maps->used - maps->start);
        if (newline != NULL) {
            size_t length = (size_t)(newline - (maps_buffer + maps->start));
            if (length >= sizeof line)
                length = sizeof line - 1;
            memcpy(line, maps_buffer + maps->start, length);
            line[length] = '\0';
            maps->start = (size_t)(newline - maps_buffer) + 1;
            return 1;
        }
        memmove(maps_buffer, maps_buffer + maps->start, maps->used - maps->start);
        maps->used -= maps->start;
        maps->start = 0;
        if (maps->used == sizeof maps_buffer)
            maps->used = 0; /* a line longer than the buffer: drop it */
        ssize_t n = read(maps->fd, maps_buffer + maps->used, sizeof maps_buffer - maps->used);
        if (n <= 0)
            return 0;
        maps->used += (size_t)n;
    }
}

static const char *hex_field(const char *p, uint64_t *value)
{
    *value = 0;
    for (;; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = (unsigned)(*p - '0');
        else if (*p >= 'a' && *p <= 'f')
            digit = (unsigned)(*p - 'a' + 10);
        else
            return p;
        *value = *value * 16 + digit;
    }
}

/* "start-end perms offset dev inode path": the path, "" for none. */
static const char *parse_line(uint64_t *start, uint64_t *end, uint64_t *offset, int *readable)
{
    const char *p = hex_field(line, start);
    p = hex_field(p + 1, end);
    *readable = p[1] == 'r';
    p = hex_field(p + 6, offset);
    for (int field = 0; field < 2 && *p; ++field) { /* dev, inode */
        while (*p == ' ')
            ++p;
        while (*p && *p != ' ')
            ++p;
    }
    while (*p == ' ')
        ++p;
    return p;
}

/* The load bias of the object whose ELF header is mapped at `header`. */
static int bias_of(uint64_t header, uint64_t *bias)
{
    const Elf64_Ehdr *ehdr = (const Elf64_Ehdr *)header;
    if (memcmp(ehdr->e_ident, ELFMAG, SELFMAG) != 0 || ehdr->e_phentsize != sizeof(Elf64_Phdr) || ehdr->e_phoff > 4096)
        return 0;
    const Elf64_Phdr *phdr = (const Elf64_Phdr *)(header + ehdr->e_phoff);
    for (unsigned i = 0; i < ehdr->e_phnum; ++i)
        if (phdr[i].p_type == PT_LOAD && phdr[i].p_offset == 0) {
            *bias = header - (phdr[i].p_vaddr & ~(uint64_t)4095);
            return 1;
        }
    return 0;
}

/* The object holding the run-time address `target`: its path (an
 * instrumented object's original path) into `path`, its link-time address
 * into *link. 0 when no file-backed object holds it. */
/* The mapping the last target was found in: targets cluster in a few
 * objects' code, so most need no new pass over the maps. Reset per write,
 * since objects may come and go between writes. */
static struct {
    uint64_t start, end, bias;
    char path[PATH_MAX];
} last_found;

static int locate(uint64_t target, char *path, size_t size, uint64_t *link)
{
    if (target >= last_found.start && target < last_found.end) {
        *link = target - last_found.bias;
        ryn_strlcpy(path, last_found.path, size);
        return 1;
    }
    struct maps maps = {open("/proc/self/maps", O_RDONLY | O_CLOEXEC), 0, 0};
    if (maps.fd < 0)
        return 0;
    uint64_t base = 0;
    int found = 0;
    base_path[0] = '\0';
    while (!found && next_line(&maps)) {
        uint64_t start, end, offset;
        int readable;
        const char *name = parse_line(&start, &end, &offset, &readable);
        if (offset == 0 && name[0] == '/' && readable) {
            base = start;
            ryn_strlcpy(base_path, name, sizeof base_path);
        }
        if (target < start || target >= end)
            continue;
        uint64_t bias;
        if (name[0] != '/' || strcmp(name, base_path) != 0 || !bias_of(base, &bias))
            break;
        *link = target - bias;
        ryn_strlcpy(path, name, size);
        for (int i = 0; i < RYN_MAX_OBJECTS; ++i)
            if (ryn_objects[i].active && ryn_objects[i].bias == bias)
                ryn_strlcpy(path, ryn_objects[i].original, size);
        last_found.start = start;
        last_found.end = end;
        last_found.bias = bias;
        ryn_strlcpy(last_found.path, path, sizeof last_found.path);
        found = 1;
    }
    close(maps.fd);
    return found;
}

/* The pool offset of `path`, added when new; NO_PATH when it is full. */
static uint32_t pool_add(char *pool, size_t *used, const char *path)
{
    for (size_t at = 0; at < *used; at += strlen(pool + at) + 1)
        if (strcmp(pool + at, path) == 0)
            return (uint32_t)at;
    size_t length = strlen(path) + 1;
    if (*used + length > POOL_SIZE)
        return NO_PATH;
    memcpy(pool + *used, path, length);
    *used += length;
    return (uint32_t)(*used - length);
}

static void add_entry(struct entry *entries, size_t *count, uint64_t site, uint64_t target, uint32_t path,
                      uint64_t delta)
{
    for (size_t i = 0; i < *count; ++i)
        if (entries[i].site == site && entries[i].target == target && entries[i].path == path) {
            entries[i].count = entries[i].count + delta < delta ? UINT64_MAX : entries[i].count + delta;
            return;
        }
    entries[(*count)++] = (struct entry){site, target, delta, path, 0};
}

/* This process's targets since its last write, into entries. */
static size_t collect(const struct ryn_object *object, struct entry *entries, char *pool)
{
    static char path[PATH_MAX];
    size_t count = 0, used = 0;
    last_found.start = last_found.end = 0;
    for (uint32_t s = 0; s < object->indirect_count; ++s) {
        const struct ryn_indirect *site = &object->indirects[s];
        if (site->slots > object->counter_count || object->counter_count - site->slots < RYN_INDIRECT_COUNTERS)
            continue;
        uint64_t other = ryn_counter_delta(object, site->slots + RYN_INDIRECT_SLOTS);
        for (uint32_t k = 0; k < RYN_INDIRECT_SLOTS; ++k) {
            uint64_t delta = ryn_counter_delta(object, site->slots + k);
            uint64_t target = ryn_counter_now(object, site->slots + RYN_INDIRECT_SLOTS + 1 + k);
            uint64_t link = 0;
            uint32_t at = NO_PATH;
            if (delta == 0)
                continue;
            if (target != 0 && locate(target, path, sizeof path, &link))
                at = pool_add(pool, &used, path);
            if (at == NO_PATH)
                other = other + delta < delta ? UINT64_MAX : other + delta;
            else
                add_entry(entries, &count, site->addr, link, at, delta);
        }
        if (other > 0)
            add_entry(entries, &count, site->addr, 0, NO_PATH, other);
    }
    return count;
}

static int same_key(const struct entry *e, const char *pool, const struct ryn_indirect_line *line)
{
    if (e->site != line->site || e->target != line->target)
        return 0;
    if (e->path == NO_PATH)
        return line->path_length == 0;
    return strlen(pool + e->path) == line->path_length && memcmp(pool + e->path, line->path, line->path_length) == 0;
}

static void out_number(void (*out)(const char *, size_t), uint64_t value, unsigned base)
{
    char digits[24];
    char *end = digits + sizeof digits;
    char *start = ryn_format_u64(end, value, base);
    out(start, (size_t)(end - start));
}

static void out_line(void (*out)(const char *, size_t), uint64_t site, uint64_t target, uint64_t count,
                     const char *path, size_t path_length)
{
    out_number(out, site, 16);
    out("\t", 1);
    out_number(out, target, 16);
    out("\t", 1);
    out_number(out, count, 10);
    out("\t", 1);
    out(path, path_length);
    out("\n", 1);
}

void ryn_write_indirect(struct ryn_object *object, struct ryn_previous *previous,
                        void (*out)(const char *text, size_t length))
{
    size_t capacity = (size_t)object->indirect_count * (RYN_INDIRECT_SLOTS + 1);
    size_t entries_size = (capacity * sizeof(struct entry) + 4095) & ~(size_t)4095;
    struct entry *entries = NULL;
    char *pool = NULL;
    size_t count = 0;
    if (capacity > 0 && object->snapshots != NULL) {
        void *memory = mmap(NULL, entries_size + POOL_SIZE, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory != MAP_FAILED) {
            entries = memory;
            pool = (char *)memory + entries_size;
            count = collect(object, entries, pool);
        }
    }
    /* The previous lines first, each with this run's count of the same key
     * added; then this run's new keys. */
    uint64_t old = previous ? ryn_previous_indirect_count(previous) : 0;
    const char *lines = previous ? previous->p : NULL;
    struct ryn_indirect_line line;
    for (uint64_t i = 0; i < old; ++i) {
        ryn_previous_indirect(previous, &line);
        for (size_t e = 0; e < count; ++e)
            if (!entries[e].merged && same_key(&entries[e], pool, &line))
                entries[e].merged = 1;
    }
    uint64_t total = old;
    for (size_t e = 0; e < count; ++e)
        total += !entries[e].merged;
    out("indirect ", 9);
    out_number(out, total, 10);
    out("\n", 1);
    if (previous)
        previous->p = lines;
    for (uint64_t i = 0; i < old; ++i) {
        ryn_previous_indirect(previous, &line);
        uint64_t sum = line.count;
        for (size_t e = 0; e < count; ++e)
            if (same_key(&entries[e], pool, &line))
                sum = sum + entries[e].count < sum ? UINT64_MAX : sum + entries[e].count;
        out_line(out, line.site, line.target, sum, line.path, line.path_length);
    }
    for (size_t e = 0; e < count; ++e) {
        if (entries[e].merged)
            continue;
        const char *path = entries[e].path == NO_PATH ? "" : pool + entries[e].path;
        out_line(out, entries[e].site, entries[e].target, entries[e].count, path, strlen(path));
    }
    if (entries != NULL)
        munmap(entries, entries_size + POOL_SIZE);
}
