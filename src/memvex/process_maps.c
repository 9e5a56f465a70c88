/* /proc/self/maps, read with plain system calls into memory of our own. The
 * whole file is read before any line is handed out, so that mappings the
 * visitor makes do not shift what is read. */
#include "leak_scan.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

static uintptr_t parse_hex(const char **cursor, const char *end)
{
    uintptr_t value = 0;
    const char *p = *cursor;
    for (; p < end; ++p) {
        char c = *p;
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            break;
        value = value << 4 | (uintptr_t)digit;
    }
    *cursor = p;
    return value;
}

static const char *skip_field(const char *p, const char *end)
{
    while (p < end && *p != ' ')
        ++p;
    while (p < end && *p == ' ')
        ++p;
    return p;
}

static int parse_line(const char *line, const char *end, struct mv_mapping *out)
{
    const char *p = line;
    out->start = parse_hex(&p, end);
    if (p >= end || *p != '-')
        return 0;
    ++p;
    out->end = parse_hex(&p, end);
    if (p + 5 > end || *p != ' ')
        return 0;
    ++p;
    out->readable = p[0] == 'r';
    out->writable = p[1] == 'w';
    out->shared = p[3] == 's';
    /* permissions, offset, device, inode, then the name when there is one */
    for (int field = 0; field < 4; ++field)
        p = skip_field(p, end);
    out->name = p;
    out->name_length = (size_t)(end - p);
    return 1;
}

/* The whole file into a buffer of ours; a buffer that proves too small is
 * given back before the file is read again, so that no mapping listed is
 * gone by the time it is scanned. */
static char *read_maps(size_t *used, size_t *capacity)
{
    for (*capacity = 1 << 20; *capacity <= ((size_t)1 << 30); *capacity *= 2) {
        char *text = mv_scan_map(*capacity);
        if (text == NULL)
            return NULL;
        int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/maps", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            mv_scan_unmap(text, *capacity);
            return NULL;
        }
        long got = 0;
        *used = 0;
        while (*used < *capacity && (got = syscall(SYS_read, fd, text + *used, *capacity - *used)) > 0)
            *used += (size_t)got;
        syscall(SYS_close, fd);
        if (got >= 0 && *used < *capacity)
            return text;
        mv_scan_unmap(text, *capacity);
        if (got < 0)
            return NULL;
    }
    return NULL;
}

int mv_for_each_mapping(void (*visit)(const struct mv_mapping *mapping, void *context), void *context)
{
    size_t used = 0, capacity = 0;
    char *text = read_maps(&used, &capacity);
    int ok = text != NULL;
    if (ok) {
        for (size_t at = 0; at < used;) {
            size_t stop = at;
            while (stop < used && text[stop] != '\n')
                ++stop;
            struct mv_mapping mapping;
            if (parse_line(text + at, text + stop, &mapping))
                visit(&mapping, context);
            at = stop + 1;
        }
    }
    if (ok)
        mv_scan_unmap(text, capacity);
    return ok;
}
