/* One error-record model: count each error, decide whether it is shown
 * (suppressed kinds, the error limit, the fork mode), symbolise its stacks
 * once and hand it to every sink. */
#include "report_sinks.h"
#include "cs_lock.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

static cs_lock_t report_lock;
static struct cs_counts counts;
static uint64_t shown;
static int silent_process;
/* Symbolised frames of the error being reported; too big for a thread's stack. */
static struct cs_frame frames[CS_MAX_STACKS][CS_MAX_DEPTH];

int cs_open_report(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_APPEND | O_TRUNC, 0644);
}

int cs_reporting(void)
{
    return !silent_process;
}

static void count_kind(const char *kind)
{
    for (int i = 0; i < counts.kind_count; ++i) {
        if (strcmp(counts.kinds[i].kind, kind) == 0) {
            ++counts.kinds[i].count;
            return;
        }
    }
    if (counts.kind_count < CS_MAX_KINDS) {
        counts.kinds[counts.kind_count].kind = kind;
        counts.kinds[counts.kind_count].count = 1;
        ++counts.kind_count;
    }
}

/* Counts the error; returns whether it is to be shown. */
static int admit(const char *kind, int not_error)
{
    if (not_error)
        return !silent_process && !cs_kind_disabled(kind);
    if (cs_kind_disabled(kind)) {
        ++counts.suppressed;
        return 0;
    }
    ++counts.errors;
    count_kind(kind);
    if (cs_settings.error_limit >= 0 && shown >= (uint64_t)cs_settings.error_limit)
        return 0;
    if (silent_process)
        return 0;
    ++shown;
    return 1;
}

void cs_report(const struct cs_error *error)
{
    ++cs_in_runtime;
    cs_lock(&report_lock);
    if (admit(error->kind, error->not_error)) {
        struct cs_symbolised_error out = {
            .kind = error->kind,
            .description = error->description,
        };
        /* Compact reports keep the faulting stack only. */
        for (int i = 0; i < error->stack_count && i < CS_MAX_STACKS; ++i) {
            if (cs_settings.compact && error->stacks[i].title != NULL)
                continue;
            const uintptr_t *pcs = NULL;
            size_t depth = cs_depot_get(error->stacks[i].id, &pcs);
            if (depth > (size_t)cs_settings.stack_depth)
                depth = (size_t)cs_settings.stack_depth;
            struct cs_symbolised_stack *stack = &out.stacks[out.stack_count++];
            stack->title = error->stacks[i].title;
            stack->depth = depth;
            stack->frames = frames[i];
            for (size_t f = 0; f < depth; ++f)
                cs_symbolize(pcs[f], &frames[i][f]);
        }
        cs_text_error(&out);
        cs_json_error(&out);
        cs_html_error(&out);
    }
    cs_unlock(&report_lock);
    --cs_in_runtime;
}

void cs_get_counts(struct cs_counts *out)
{
    cs_lock(&report_lock);
    *out = counts;
    cs_unlock(&report_lock);
}

void cs_finish_reports(const struct cs_leak_totals *leaks)
{
    ++cs_in_runtime;
    cs_lock(&report_lock);
    if (!silent_process) {
        int found =
            counts.errors > 0 || counts.suppressed > 0 || (leaks && leaks->has_leaks && leaks->leaked_blocks > 0);
        if (found)
            cs_text_summary(&counts, leaks);
        cs_json_finish(&counts, leaks);
        cs_html_finish(&counts, leaks);
    }
    cs_unlock(&report_lock);
    --cs_in_runtime;
}

void cs_report_before_fork(void)
{
    cs_lock(&report_lock);
}

void cs_report_after_fork(int in_child)
{
    if (in_child) {
        /* The child reports only what it finds itself. */
        memset(&counts, 0, sizeof counts);
        shown = 0;
        if (cs_settings.fork_mode == CS_FORK_PARENT)
            silent_process = 1;
    } else if (cs_settings.fork_mode == CS_FORK_CHILD) {
        silent_process = 1;
    }
    cs_json_after_fork(in_child);
    cs_html_after_fork(in_child);
    cs_unlock(&report_lock);
}
