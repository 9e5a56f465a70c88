/* The HTML report (-H): one page, errors as they come, the summary at exit. */
#include "report_sinks.h"

#include <unistd.h>

static int html_fd = -1;
static int html_failed;
static int html_is_child;
static char buffer[1 << 16];

static void escaped(struct ryn_out *out, const char *text)
{
    for (; *text; ++text) {
        switch (*text) {
        case '<': ryn_out_str(out, "&lt;"); break;
        case '>': ryn_out_str(out, "&gt;"); break;
        case '&': ryn_out_str(out, "&amp;"); break;
        case '"': ryn_out_str(out, "&quot;"); break;
        default: ryn_out_char(out, *text); break;
        }
    }
}

static struct ryn_out *begin(struct ryn_out *out)
{
    if (cs_settings.html_report[0] == '\0' || html_failed)
        return NULL;
    if (html_fd >= 0) {
        ryn_out_init(out, html_fd, buffer, sizeof buffer);
        return out;
    }
    char path[PATH_MAX];
    ryn_strlcpy(path, cs_settings.html_report, sizeof path);
    if (html_is_child) {
        /* A forked child must not overwrite its parent's page. */
        char digits[24], *end = digits + sizeof digits - 1;
        *end = '\0';
        ryn_strlcat(path, ".", sizeof path);
        ryn_strlcat(path, ryn_format_u64(end, (uint64_t)getpid(), 10), sizeof path);
    }
    html_fd = cs_open_report(path);
    if (html_fd < 0) {
        html_failed = 1;
        return NULL;
    }
    ryn_out_init(out, html_fd, buffer, sizeof buffer);
    ryn_out_str(out, "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>");
    ryn_out_str(out, cs_settings.tool);
    ryn_out_str(out,
                " report</title>\n<style>body{font-family:sans-serif}"
                "pre{background:#f4f4f4;padding:4px}.kind{color:#b00}</style></head><body>\n<h1>");
    ryn_out_str(out, cs_settings.tool);
    ryn_out_str(out, " report: ");
    escaped(out, cs_settings.program);
    ryn_out_str(out, " (pid ");
    ryn_out_udec(out, (uint64_t)getpid());
    ryn_out_str(out, ")</h1>\n");
    return out;
}

void cs_html_error(const struct cs_symbolised_error *error)
{
    struct ryn_out storage, *out = begin(&storage);
    if (out == NULL)
        return;
    ryn_out_str(out, "<div class=\"error\"><h2><span class=\"kind\">");
    escaped(out, error->kind);
    ryn_out_str(out, "</span>: ");
    escaped(out, error->description);
    ryn_out_str(out, "</h2>\n");
    for (int s = 0; s < error->stack_count; ++s) {
        const struct cs_symbolised_stack *stack = &error->stacks[s];
        if (stack->title != NULL) {
            ryn_out_str(out, "<h3>");
            escaped(out, stack->title);
            ryn_out_str(out, "</h3>\n");
        }
        ryn_out_str(out, "<pre>");
        for (size_t f = 0; f < stack->depth; ++f) {
            const struct cs_frame *frame = &stack->frames[f];
            ryn_out_char(out, '#');
            ryn_out_udec(out, f);
            ryn_out_char(out, ' ');
            ryn_out_hex(out, frame->pc);
            ryn_out_str(out, " in ");
            escaped(out, frame->function[0] ? frame->function : "??");
            ryn_out_char(out, ' ');
            if (frame->line > 0) {
                escaped(out, frame->file);
                ryn_out_char(out, ':');
                ryn_out_udec(out, (uint64_t)frame->line);
            } else {
                ryn_out_char(out, '(');
                escaped(out, frame->object);
                ryn_out_char(out, '+');
                ryn_out_hex(out, frame->offset);
                ryn_out_char(out, ')');
            }
            ryn_out_char(out, '\n');
        }
        ryn_out_str(out, "</pre>\n");
    }
    ryn_out_str(out, "</div>\n");
    ryn_out_flush(out);
}

void cs_html_finish(const struct cs_counts *counts, const struct cs_leak_totals *leaks)
{
    struct ryn_out storage, *out = begin(&storage);
    if (out == NULL)
        return;
    ryn_out_str(out, "<h2>Summary</h2>\n<table>\n<tr><td>errors</td><td>");
    ryn_out_udec(out, counts->errors);
    ryn_out_str(out, "</td></tr>\n");
    for (int i = 0; i < counts->kind_count; ++i) {
        ryn_out_str(out, "<tr><td>");
        escaped(out, counts->kinds[i].kind);
        ryn_out_str(out, "</td><td>");
        ryn_out_udec(out, counts->kinds[i].count);
        ryn_out_str(out, "</td></tr>\n");
    }
    ryn_out_str(out, "<tr><td>suppressed</td><td>");
    ryn_out_udec(out, counts->suppressed);
    ryn_out_str(out, "</td></tr>\n");
    if (leaks != NULL && leaks->has_leaks) {
        ryn_out_str(out, "<tr><td>leaked</td><td>");
        ryn_out_udec(out, leaks->leaked_bytes);
        ryn_out_str(out, " bytes in ");
        ryn_out_udec(out, leaks->leaked_blocks);
        ryn_out_str(out, " blocks</td></tr>\n<tr><td>still reachable</td><td>");
        ryn_out_udec(out, leaks->reachable_bytes);
        ryn_out_str(out, " bytes in ");
        ryn_out_udec(out, leaks->reachable_blocks);
        ryn_out_str(out, " blocks</td></tr>\n");
    }
    ryn_out_str(out, "</table>\n</body></html>\n");
    ryn_out_flush(out);
    close(html_fd);
    html_fd = -1;
    html_failed = 1; /* written once */
}

void cs_html_after_fork(int in_child)
{
    if (in_child) {
        html_is_child = 1;
        if (html_fd >= 0) {
            close(html_fd);
            html_fd = -1;
        }
    }
}
