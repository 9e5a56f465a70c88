/* The library log: the original path of every shared object the program
 * loaded, one a line, for the driver to instrument next time. Libraries the
 * run calls ignorable are left out: a list entry starting with "/" is a
 * prefix of the path, any other entry a prefix of the file name. */
#include "runtime.h"

#include <fcntl.h>
#include <string.h>
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

void ryn_log_library(const char *path)
{
    if (ryn_settings.library_log[0] == '\0' || path[0] != '/' || is_ignorable(path) ||
        strchr(path, '\n') != NULL)
        return;
    char line[PATH_MAX + 1];
    size_t length = ryn_strlcpy(line, path, sizeof line - 1);
    if (length >= sizeof line - 1)
        return;
    line[length++] = '\n';
    int fd = open(ryn_settings.library_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    /* One write per line: lines of concurrent runs never interleave. */
    ssize_t written = write(fd, line, length);
    (void)written;
    close(fd);
}
