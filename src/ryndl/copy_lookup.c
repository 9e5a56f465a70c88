/* Serves a library from its instrumented copy in the cache while the copy is
 * fresh. The cache names and stamps copies as the driver does: the copy of
 * file F lies in <cache>/count<md5 of F's path>/<name of F>, and its stamp
 * holds the digest of F's content and modification time when the copy was
 * made. Anything missing or stale means the original is used. */
#include "runtime.h"

#include <fcntl.h>
#include <md5.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* The cache's text form of a digest: four little-endian 32-bit words, each
 * printed as eight hex digits. */
static void hex_digest(MD5_CTX *context, char out[RYN_DIGEST_CHARS + 1])
{
    static const char digits[] = "0123456789abcdef";
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, context);
    for (int word = 0; word < 4; ++word) {
        for (int i = 0; i < 4; ++i) {
            unsigned char byte = digest[4 * word + 3 - i];
            out[8 * word + 2 * i] = digits[byte >> 4];
            out[8 * word + 2 * i + 1] = digits[byte & 15];
        }
    }
    out[RYN_DIGEST_CHARS] = '\0';
}

static void text_digest(const char *text, char out[RYN_DIGEST_CHARS + 1])
{
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, (const uint8_t *)text, strlen(text));
    hex_digest(&context, out);
}

static int file_digest(const char *path, char out[RYN_DIGEST_CHARS + 1])
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    MD5_CTX context;
    MD5Init(&context);
    static unsigned char block[1 << 16];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0)
        MD5Update(&context, block, (size_t)n);
    close(fd);
    if (n < 0)
        return 0;
    hex_digest(&context, out);
    return 1;
}

static int stamp_is_fresh(const char *original, const char *copy)
{
    char stamp_path[PATH_MAX];
    ryn_strlcpy(stamp_path, copy, sizeof stamp_path);
    if (ryn_strlcat(stamp_path, ".cksum_tstamp", sizeof stamp_path) >= sizeof stamp_path)
        return 0;
    char stamp[RYN_DIGEST_CHARS];
    int fd = open(stamp_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, stamp, sizeof stamp);
    close(fd);
    struct stat st;
    char content[RYN_DIGEST_CHARS + 1], expected[RYN_DIGEST_CHARS + 1];
    if (n != (ssize_t)sizeof stamp || stat(original, &st) != 0 || !file_digest(original, content))
        return 0;
    char digits[24];
    char *end = digits + sizeof digits - 1;
    *end = '\0';
    char *mtime = (int)st.st_mtime < 0 ? (ryn_format_u64(end, (uint64_t)(-(int64_t)(int)st.st_mtime), 10) - 1)
                                       : ryn_format_u64(end, (uint64_t)(int)st.st_mtime, 10);
    if ((int)st.st_mtime < 0)
        *mtime = '-';
    char joined[RYN_DIGEST_CHARS + sizeof digits];
    ryn_strlcpy(joined, content, sizeof joined);
    ryn_strlcat(joined, mtime, sizeof joined);
    text_digest(joined, expected);
    return memcmp(expected, stamp, RYN_DIGEST_CHARS) == 0;
}

const char *ryn_cached_copy(const char *name)
{
    if (ryn_settings.cache_top[0] == '\0' || strchr(name, '/') == NULL || strcmp(ryn_settings.component, "memvex") == 0)
        return name;
    size_t top_length = strlen(ryn_settings.cache_top);
    if (strncmp(name, ryn_settings.cache_top, top_length) == 0 && name[top_length] == '/')
        return name;
    char real[PATH_MAX];
    if (realpath(name, real) == NULL)
        return name;
    char key[RYN_DIGEST_CHARS + 1];
    text_digest(real, key);
    char copy[PATH_MAX];
    ryn_strlcpy(copy, ryn_settings.cache_top, sizeof copy);
    ryn_strlcat(copy, "/count", sizeof copy);
    ryn_strlcat(copy, key, sizeof copy);
    ryn_strlcat(copy, "/", sizeof copy);
    if (ryn_strlcat(copy, ryn_last_component(real), sizeof copy) >= sizeof copy)
        return name;
    struct stat st;
    if (stat(copy, &st) != 0 || !S_ISREG(st.st_mode) || !stamp_is_fresh(real, copy))
        return name;
    /* The linker keeps the name it was given; ours lives as long as the
     * process, like the copies it names. */
    char *kept = strdup(copy);
    return kept ? kept : name;
}
