/* The JSON result: <analyzer dir>/<tool>.<pid>.json, written as errors come
 * and closed with the summary at exit. */
#include "report_sinks.h"

#include <sys/stat.h>
#include <unistd.h>

static int json_fd = -1;
static int json_failed;
static int json_entries;
static char buffer[1 << 16];

static void string_value(struct ryn_out *out, const char *text)
{
    ryn_out_char(out, '"');
    for (const unsigned char *c = (const unsigned char *)text; *c; ++c) {
        if (*c == '"' || *c == '\\') {
            ryn_out_char(out, '\\');
            ryn_out_char(out, (char)*c);
        } else if (*c < 0x20) {
            static const char hex[] = "0123456789abcdef";
            char escape[6] = {'\\', 'u', '0', '0', hex[*c >> 4], hex[*c & 15]};
            ryn_out_mem(out, escape, sizeof escape);
        } else {
            ryn_out_char(out, (char)*c);
        }
    }
    ryn_out_char(out, '"');
}

static void key(struct ryn_out *out, const char *name)
{
    string_value(out, name);
    ryn_out_char(out, ':');
}

/* Opens the file and writes its head on first use. */
static struct ryn_out *begin(struct ryn_out *out)
{
    if (cs_settings.analyzer_dir[0] == '\0' || json_failed)
        return NULL;
    if (json_fd < 0) {
        char path[PATH_MAX], digits[24];
        ryn_strlcpy(path, cs_settings.analyzer_dir, sizeof path);
        mkdir(path, 0755);
        ryn_strlcat(path, "/", sizeof path);
        ryn_strlcat(path, cs_settings.tool, sizeof path);
        ryn_strlcat(path, ".", sizeof path);
        char *end = digits + sizeof digits - 1;
        *end = '\0';
        ryn_strlcat(path, ryn_format_u64(end, (uint64_t)getpid(), 10), sizeof path);
        ryn_strlcat(path, ".json", sizeof path);
        json_fd = cs_open_report(path);
        if (json_fd < 0) {
            json_failed = 1;
            return NULL;
        }
        json_entries = 0;
        ryn_out_init(out, json_fd, buffer, sizeof buffer);
        ryn_out_char(out, '{');
        key(out, "tool");
        string_value(out, cs_settings.tool);
        ryn_out_char(out, ',');
        key(out, "pid");
        ryn_out_udec(out, (uint64_t)getpid());
        ryn_out_char(out, ',');
        key(out, "program");
        string_value(out, cs_settings.program);
        ryn_out_char(out, ',');
        key(out, "errors");
        ryn_out_char(out, '[');
        return out;
    }
    ryn_out_init(out, json_fd, buffer, sizeof buffer);
    return out;
}

static void frame_object(struct ryn_out *out, const struct cs_frame *frame)
{
    ryn_out_char(out, '{');
    key(out, "pc");
    char hex[24];
    struct ryn_out text;
    ryn_out_init(&text, -1, hex, sizeof hex);
    ryn_out_hex(&text, frame->pc);
    string_value(out, ryn_out_text(&text));
    ryn_out_char(out, ',');
    key(out, "function");
    string_value(out, frame->function);
    ryn_out_char(out, ',');
    key(out, "file");
    string_value(out, frame->file);
    ryn_out_char(out, ',');
    key(out, "line");
    ryn_out_udec(out, (uint64_t)frame->line);
    ryn_out_char(out, ',');
    key(out, "object");
    string_value(out, frame->object);
    ryn_out_char(out, ',');
    key(out, "offset");
    ryn_out_udec(out, frame->offset);
    ryn_out_char(out, '}');
}

void cs_json_error(const struct cs_symbolised_error *error)
{
    struct ryn_out storage, *out = begin(&storage);
    if (out == NULL)
        return;
    if (json_entries++ > 0)
        ryn_out_char(out, ',');
    ryn_out_char(out, '{');
    key(out, "kind");
    string_value(out, error->kind);
    ryn_out_char(out, ',');
    key(out, "description");
    string_value(out, error->description);
    ryn_out_char(out, ',');
    key(out, "stacks");
    ryn_out_char(out, '[');
    for (int s = 0; s < error->stack_count; ++s) {
        const struct cs_symbolised_stack *stack = &error->stacks[s];
        if (s > 0)
            ryn_out_char(out, ',');
        ryn_out_char(out, '{');
        key(out, "title");
        string_value(out, stack->title ? stack->title : "");
        ryn_out_char(out, ',');
        key(out, "frames");
        ryn_out_char(out, '[');
        for (size_t f = 0; f < stack->depth; ++f) {
            if (f > 0)
                ryn_out_char(out, ',');
            frame_object(out, &stack->frames[f]);
        }
        ryn_out_str(out, "]}");
    }
    ryn_out_str(out, "]}");
    ryn_out_flush(out);
}

void cs_json_finish(const struct cs_counts *counts, const struct cs_leak_totals *leaks)
{
    struct ryn_out storage, *out = begin(&storage);
    if (out == NULL)
        return;
    ryn_out_str(out, "],");
    key(out, "summary");
    ryn_out_char(out, '{');
    key(out, "errors");
    ryn_out_udec(out, counts->errors);
    ryn_out_char(out, ',');
    key(out, "suppressed");
    ryn_out_udec(out, counts->suppressed);
    ryn_out_char(out, ',');
    key(out, "kinds");
    ryn_out_char(out, '{');
    for (int i = 0; i < counts->kind_count; ++i) {
        if (i > 0)
            ryn_out_char(out, ',');
        key(out, counts->kinds[i].kind);
        ryn_out_udec(out, counts->kinds[i].count);
    }
    ryn_out_char(out, '}');
    if (leaks != NULL && leaks->has_leaks) {
        ryn_out_char(out, ',');
        key(out, "leaked_bytes");
        ryn_out_udec(out, leaks->leaked_bytes);
        ryn_out_char(out, ',');
        key(out, "leaked_blocks");
        ryn_out_udec(out, leaks->leaked_blocks);
        ryn_out_char(out, ',');
        key(out, "reachable_bytes");
        ryn_out_udec(out, leaks->reachable_bytes);
        ryn_out_char(out, ',');
        key(out, "reachable_blocks");
        ryn_out_udec(out, leaks->reachable_blocks);
    }
    ryn_out_str(out, "}}\n");
    ryn_out_flush(out);
    close(json_fd);
    json_fd = -1;
    json_failed = 1; /* written once */
}

void cs_json_after_fork(int in_child)
{
    /* The child writes a file of its own, named by its pid. */
    if (in_child && json_fd >= 0) {
        close(json_fd);
        json_fd = -1;
    }
}
