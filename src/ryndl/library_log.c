/* The library log: the original path of every shared object the program
 * loaded, one a line, for the driver to instrument next time. Libraries the
 * run calls ignorable are left out: a list entry starting with "/" is a
 * prefix of the path, any other entry a prefix of the file name. */
#include "runtime.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int is_ignorable(const char *path)
{
    const char *name = ryn_last_component(path);
    for (int i = 0; i < ryn_settings.ignorable_count; ++i) {
        const char *entry = ryn_settings.ignorable[i];
        const char *subject = entry[0] == '/' ? path : name;
        if (strncmp(subject, entry, strlen(entry)) == 0)
            return 1;
    }
    return 0;
}

/* Every run appends to the same log; a library it already names is not
 * named again, so the log stays as long as the set of libraries. */
static int already_logged(int fd, const char *line)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > (1 << 24))
        return 0;
    size_t size = (size_t)st.st_size;
    char *text = malloc(size + 2);
    if (text == NULL)
        return 0;
    text[0] = '\n';
    ssize_t n = pread(fd, text + 1, size, 0);
    int found = 0;
    if (n > 0) {
        text[n + 1] = '\0';
        for (const char *at = text + 1; (at = strstr(at, line)) != NULL; ++at)
            if (at[-1] == '\n') {
                found = 1;
                break;
            }
    }
    free(text);
    return found;
}

/* A run that loads no library of interest still leaves a log: it tells the
 * driver the program ran and needs no library instrumented. */
void ryn_start_library_log(void)
{
    if (ryn_settings.library_log[0] == '\0')
        return;
    int fd = open(ryn_settings.library_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0)
        close(fd);
}

void ryn_log_library(const char *path)
{
    if (ryn_settings.library_log[0] == '\0' || path[0] != '/' || is_ignorable(path) || strchr(path, '\n') != NULL)
        return;
    char line[PATH_MAX + 2];
    size_t length = ryn_strlcpy(line, path, sizeof line - 1);
    if (length >= sizeof line - 2)
        return;
    line[length++] = '\n';
    line[length] = '\0';
    int fd = open(ryn_settings.library_log, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    if (already_logged(fd, line)) {
        close(fd);
        return;
    }
    /* One write per line: lines of concurrent runs never interleave. */
    ssize_t written = write(fd, line, length);
    (void)written;
    close(fd);
}
