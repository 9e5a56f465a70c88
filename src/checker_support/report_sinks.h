/* The report sinks, fed by report.c with errors whose stacks are already
 * symbolised. Called under the report lock only. */
#ifndef RYN_REPORT_SINKS_H
#define RYN_REPORT_SINKS_H

#include "checker_support.h"

struct cs_symbolised_stack {
    const char *title; /* NULL for the faulting stack */
    size_t depth;
    const struct cs_frame *frames;
};

struct cs_symbolised_error {
    const char *kind;
    const char *description;
    int stack_count;
    struct cs_symbolised_stack stacks[CS_MAX_STACKS];
};

void cs_text_error(const struct cs_symbolised_error *error);
void cs_text_summary(const struct cs_counts *counts, const struct cs_leak_totals *leaks);

void cs_json_error(const struct cs_symbolised_error *error);
void cs_json_finish(const struct cs_counts *counts, const struct cs_leak_totals *leaks);
void cs_json_after_fork(int in_child);

void cs_html_error(const struct cs_symbolised_error *error);
void cs_html_finish(const struct cs_counts *counts, const struct cs_leak_totals *leaks);
void cs_html_after_fork(int in_child);

/* Opens a report file for writing from the start; -1 on failure. */
int cs_open_report(const char *path);

#endif
