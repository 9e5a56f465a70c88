/* Services shared by the checker runtimes: a per-thread re-entrancy guard,
 * stack capture into a depot of distinct stacks, symbolisation, the run's
 * checker settings and one error-record model fed to every report sink.
 * Nothing here allocates from the program's heap; whatever libdw allocates
 * while symbolising does so under the guard, which the runtimes' allocation
 * wrappers pass straight to the C library. */
#ifndef RYN_CHECKER_SUPPORT_H
#define RYN_CHECKER_SUPPORT_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include "runtime_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* guard.c: nonzero while this thread runs inside the runtime. */
extern __thread int cs_in_runtime __attribute__((tls_model("initial-exec")));

/* Memory straight from the kernel, zeroed; NULL on failure. Noted as a
 * runtime region. */
void *cs_map(size_t size);

/* runtime_regions.c: memory the runtimes mapped for themselves. */
struct cs_region {
    uintptr_t start, end;
};
void cs_note_region(const void *start, size_t size);
size_t cs_runtime_regions(const struct cs_region **regions);

/* checker_settings.c */
enum { CS_FORK_PARENT = 0, CS_FORK_CHILD = 1, CS_FORK_BOTH = 2 };
#define CS_MAX_DEPTH 64
struct cs_settings {
    const char *tool;    /* "memvex", "vek": prefix of every report line */
    int stack_depth;     /* frames recorded and printed, 1..64 */
    long error_limit;    /* errors reported before they are only counted; -1 none */
    int exit_status;     /* status replacing 0 when something was found; -1 none */
    char disabled[1024]; /* comma-separated kinds not reported */
    int list_reachable;
    int fill_new;
    int compact; /* faulting stack only */
    int guard_count;
    int fork_mode;
    int checker_full; /* "checker full" in the copy; else write-only */
    int race;
    char checkfile[PATH_MAX];
    char text_report[PATH_MAX]; /* absolute, or empty */
    char html_report[PATH_MAX];
    char analyzer_dir[PATH_MAX];
    char program[PATH_MAX]; /* the main program's original path */
    char start_dir[PATH_MAX];
};
extern struct cs_settings cs_settings;
struct cs_settings cs_settings_defaults(void);
/* Reads the settings of the main program's copy (defaults without one). */
void cs_read_settings(const char *tool);
/* Parses a settings text; the part of cs_read_settings that needs no process. */
void cs_parse_settings(const char *text, size_t size);
int cs_kind_disabled(const char *kind);

/* stack_capture.c: the calling program's stack, the runtime's own frames
 * left out, at most `max` return addresses. */
size_t cs_capture(uintptr_t *pcs, size_t max);
/* Whether pc lies in the code of the runtime itself. */
int cs_pc_in_runtime(uintptr_t pc);

/* stack_depot.c: each distinct stack stored once; 0 means "no stack". */
uint32_t cs_depot_put(const uintptr_t *pcs, size_t depth);
size_t cs_depot_get(uint32_t id, const uintptr_t **pcs);
void cs_depot_before_fork(void);
void cs_depot_after_fork(void);
/* Captures the current stack at the configured depth and stores it. */
uint32_t cs_capture_id(void);

/* symbolize.c: report paths only. */
struct cs_frame {
    uintptr_t pc;
    uintptr_t offset;   /* pc less the object's load address */
    int line;           /* 0 when unknown */
    char function[256]; /* empty when unknown */
    char file[512];
    char object[256];
};
void cs_symbolize(uintptr_t pc, struct cs_frame *frame);

/* report.c: one error, sent to every sink. A leak entry is an error whose
 * description ends "allocated at" and whose one stack has no title. */
#define CS_MAX_STACKS 4
struct cs_error {
    const char *kind;
    const char *description;
    int not_error; /* shown but not counted (e.g. still-reachable blocks) */
    int stack_count;
    struct {
        const char *title; /* NULL for the faulting stack, else e.g. "allocated at" */
        uint32_t id;
    } stacks[CS_MAX_STACKS];
};
void cs_report(const struct cs_error *error);
/* Counts of what the process found. */
#define CS_MAX_KINDS 16
struct cs_counts {
    uint64_t errors;
    uint64_t suppressed;
    int kind_count;
    struct {
        const char *kind;
        uint64_t count;
    } kinds[CS_MAX_KINDS];
};
void cs_get_counts(struct cs_counts *counts);
/* Whether this process prints reports at all (the fork mode decides). */
int cs_reporting(void);
/* Writes the summary and closes every sink. Leak totals are printed when
 * has_leaks is set. */
struct cs_leak_totals {
    int has_leaks;
    uint64_t leaked_bytes, leaked_blocks;
    uint64_t reachable_bytes, reachable_blocks;
    uint64_t guard_fallbacks; /* blocks that got red zones for want of mappings */
};
void cs_finish_reports(const struct cs_leak_totals *leaks);
/* Opens the text report file the settings name (cs_read_settings does):
 * once per process tree, so that forked children add to the same file. */
void cs_text_start(void);
/* Keeps the report state consistent across fork. */
void cs_report_before_fork(void);
void cs_report_after_fork(int in_child);

#ifdef __cplusplus
}
#endif

#endif
