/* String helpers and a buffered writer that neither allocate nor touch locale
 * or stdio, so that they can run inside a signal handler or inside malloc. */
#include "runtime_common.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

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

void ryn_write_all(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        length -= (size_t)n;
    }
}

void ryn_out_init(struct ryn_out *out, int fd, char *buf, size_t size)
{
    out->fd = fd;
    out->buf = buf;
    out->size = size;
    out->used = 0;
}

void ryn_out_flush(struct ryn_out *out)
{
    if (out->fd >= 0 && out->used > 0) {
        ryn_write_all(out->fd, out->buf, out->used);
        out->used = 0;
    }
}

void ryn_out_mem(struct ryn_out *out, const char *text, size_t length)
{
    while (length > 0) {
        /* A collecting buffer keeps one byte for the terminating NUL. */
        size_t room = out->size - out->used - (out->fd < 0 ? 1 : 0);
        if (room == 0) {
            if (out->fd < 0)
                return;
            ryn_out_flush(out);
            continue;
        }
        size_t n = length < room ? length : room;
        memcpy(out->buf + out->used, text, n);
        out->used += n;
        text += n;
        length -= n;
    }
}

void ryn_out_str(struct ryn_out *out, const char *text)
{
    ryn_out_mem(out, text, strlen(text));
}

void ryn_out_char(struct ryn_out *out, char c)
{
    ryn_out_mem(out, &c, 1);
}

void ryn_out_udec(struct ryn_out *out, uint64_t value)
{
    char digits[24];
    char *end = digits + sizeof digits;
    char *first = ryn_format_u64(end, value, 10);
    ryn_out_mem(out, first, (size_t)(end - first));
}

void ryn_out_dec(struct ryn_out *out, int64_t value)
{
    if (value < 0) {
        ryn_out_char(out, '-');
        ryn_out_udec(out, (uint64_t)0 - (uint64_t)value);
    } else {
        ryn_out_udec(out, (uint64_t)value);
    }
}

void ryn_out_hex(struct ryn_out *out, uint64_t value)
{
    char digits[24];
    char *end = digits + sizeof digits;
    char *first = ryn_format_u64(end, value, 16);
    ryn_out_mem(out, "0x", 2);
    ryn_out_mem(out, first, (size_t)(end - first));
}

const char *ryn_out_text(struct ryn_out *out)
{
    if (out->size == 0)
        return "";
    out->buf[out->used < out->size ? out->used : out->size - 1] = '\0';
    return out->buf;
}
