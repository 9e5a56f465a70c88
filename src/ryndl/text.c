/* String helpers that neither allocate nor touch locale or stdio, so that the
 * writers can run inside a signal handler. */
#include "runtime.h"

#include <string.h>

size_t ryn_strlcpy(char *out, const char *in, size_t size)
{
    size_t length = strlen(in);
    if (size > 0) {
        size_t n = length < size - 1 ? length : size - 1;
        memcpy(out, in, n);
        out[n] = '\0';
    }
    return length;
}

size_t ryn_strlcat(char *out, const char *in, size_t size)
{
    size_t used = strnlen(out, size);
    if (used == size)
        return used + strlen(in);
    return used + ryn_strlcpy(out + used, in, size - used);
}

/* Writes value backwards ending just before `end`; returns the first digit. */
char *ryn_format_u64(char *end, uint64_t value, unsigned base)
{
    static const char digits[] = "0123456789abcdef";
    do {
        *--end = digits[value % base];
        value /= base;
    } while (value != 0);
    return end;
}

const char *ryn_last_component(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}
