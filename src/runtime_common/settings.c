/* Reading the "key value" settings text of a probe table. */
#include "runtime_common.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

int ryn_setting(const char *text, size_t size, const char *key, char *out, size_t out_size)
{
    size_t key_length = strlen(key);
    const char *end = text + size;
    for (const char *line = text; line < end;) {
        const char *newline = memchr(line, '\n', (size_t)(end - line));
        const char *line_end = newline ? newline : end;
        if ((size_t)(line_end - line) > key_length && memcmp(line, key, key_length) == 0 && line[key_length] == ' ') {
            const char *value = line + key_length + 1;
            size_t length = (size_t)(line_end - value);
            if (length >= out_size)
                return 0;
            memcpy(out, value, length);
            out[length] = '\0';
            return 1;
        }
        line = line_end + 1;
    }
    return 0;
}

void ryn_for_each_record(const char *text, size_t size, ryn_record_visitor visit, void *context)
{
    for (const char *line = text, *end = text + size; line < end;) {
        const char *newline = memchr(line, '\n', (size_t)(end - line));
        const char *line_end = newline ? newline : end;
        char buffer[PATH_MAX];
        size_t length = (size_t)(line_end - line);
        line = line_end + 1;
        if (length >= sizeof buffer || length < 9)
            continue;
        memcpy(buffer, line_end - length, length);
        buffer[length] = '\0';
        if (strncmp(buffer, "ryninfo ", 8) != 0)
            continue;
        char *value = NULL;
        long record = strtol(buffer + 8, &value, 10);
        if (*value != ' ')
            continue;
        visit(record, value + 1, context);
    }
}
