/* The text report: standard error, and the -w file when asked. */
#include "report_sinks.h"

#include <unistd.h>

static int text_fd = -1;
static char buffer[1 << 16];

static void send(const char *text, size_t length)
{
    ryn_write_all(STDERR_FILENO, text, length);
    if (text_fd >= 0)
        ryn_write_all(text_fd, text, length);
}

static void frame_line(struct ryn_out *out, size_t index, const struct cs_frame *frame)
{
    ryn_out_str(out, "    #");
    ryn_out_udec(out, index);
    ryn_out_char(out, ' ');
    ryn_out_hex(out, frame->pc);
    ryn_out_str(out, " in ");
    ryn_out_str(out, frame->function[0] ? frame->function : "??");
    if (frame->line > 0) {
        ryn_out_char(out, ' ');
        ryn_out_str(out, frame->file);
        ryn_out_char(out, ':');
        ryn_out_udec(out, (uint64_t)frame->line);
    } else {
        ryn_out_str(out, " (");
        ryn_out_str(out, frame->object[0] ? frame->object : "??");
        ryn_out_char(out, '+');
        ryn_out_hex(out, frame->offset);
        ryn_out_char(out, ')');
    }
    ryn_out_char(out, '\n');
}

void cs_text_error(const struct cs_symbolised_error *error)
{
    struct ryn_out out;
    ryn_out_init(&out, -1, buffer, sizeof buffer);
    ryn_out_str(&out, cs_settings.tool);
    ryn_out_str(&out, ": error: ");
    ryn_out_str(&out, error->kind);
    ryn_out_str(&out, ": ");
    ryn_out_str(&out, error->description);
    ryn_out_char(&out, '\n');
    for (int s = 0; s < error->stack_count; ++s) {
        const struct cs_symbolised_stack *stack = &error->stacks[s];
        if (stack->title != NULL) {
            ryn_out_str(&out, "  ");
            ryn_out_str(&out, stack->title);
            ryn_out_str(&out, ":\n");
        }
        for (size_t f = 0; f < stack->depth; ++f)
            frame_line(&out, f, &stack->frames[f]);
    }
    /* One write per error, so that reports of two processes never interleave. */
    send(buffer, out.used);
}

void cs_text_summary(const struct cs_counts *counts, const struct cs_leak_totals *leaks)
{
    struct ryn_out out;
    ryn_out_init(&out, -1, buffer, sizeof buffer);
    ryn_out_str(&out, cs_settings.tool);
    ryn_out_str(&out, ": summary: ");
    ryn_out_udec(&out, counts->errors);
    ryn_out_str(&out, " errors");
    if (counts->kind_count > 0) {
        ryn_out_str(&out, " (");
        for (int i = 0; i < counts->kind_count; ++i) {
            if (i > 0)
                ryn_out_str(&out, ", ");
            ryn_out_str(&out, counts->kinds[i].kind);
            ryn_out_char(&out, ' ');
            ryn_out_udec(&out, counts->kinds[i].count);
        }
        ryn_out_char(&out, ')');
    }
    ryn_out_str(&out, ", ");
    ryn_out_udec(&out, counts->suppressed);
    ryn_out_str(&out, " suppressed");
    if (leaks != NULL && leaks->has_leaks) {
        ryn_out_str(&out, "; leaked ");
        ryn_out_udec(&out, leaks->leaked_bytes);
        ryn_out_str(&out, " bytes in ");
        ryn_out_udec(&out, leaks->leaked_blocks);
        ryn_out_str(&out, " blocks; still reachable ");
        ryn_out_udec(&out, leaks->reachable_bytes);
        ryn_out_str(&out, " bytes in ");
        ryn_out_udec(&out, leaks->reachable_blocks);
        ryn_out_str(&out, " blocks");
    }
    if (leaks != NULL && leaks->guard_fallbacks > 0) {
        ryn_out_str(&out, "; guard pages ran out: ");
        ryn_out_udec(&out, leaks->guard_fallbacks);
        ryn_out_str(&out, " blocks got red zones only");
    }
    ryn_out_char(&out, '\n');
    send(buffer, out.used);
}

/* Opened when the process starts, so that a forked child writes to the same
 * file and neither process empties what the other wrote. */
void cs_text_start(void)
{
    if (cs_settings.text_report[0] != '\0' && text_fd < 0)
        text_fd = cs_open_report(cs_settings.text_report);
}
