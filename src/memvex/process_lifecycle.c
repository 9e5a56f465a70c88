/* Setting the runtime up, keeping it consistent across fork, and the end of
 * the process: the last checks, the summary and the exit status. */
#include "memvex.h"

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static atomic_int ready_state; /* 0 not yet, 1 being set up, 2 ready */

void mv_ensure_ready(void)
{
    if (atomic_load_explicit(&ready_state, memory_order_acquire) == 2)
        return;
    int expected = 0;
    if (atomic_compare_exchange_strong(&ready_state, &expected, 1)) {
        /* Anything allocated while setting up goes to the C library as is. */
        ++cs_in_runtime;
        cs_read_settings("memvex");
        mv_registry_init();
        --cs_in_runtime;
        atomic_store_explicit(&ready_state, 2, memory_order_release);
        return;
    }
    while (atomic_load_explicit(&ready_state, memory_order_acquire) != 2)
        ;
}

__attribute__((weak)) void mv_scan_leaks_at_exit(struct cs_leak_totals *totals)
{
    (void)totals;
}

/* Every lock of the runtime, in the one order they nest in. Allocations made
 * by this thread between here and the fork's end bypass checking, since the
 * locks they would need are held. */
static void before_fork(void)
{
    ++cs_in_runtime;
    cs_report_before_fork();
    mv_quarantine_before_fork();
    mv_registry_before_fork();
    cs_depot_before_fork();
}

static void after_fork(int in_child)
{
    cs_depot_after_fork();
    mv_registry_after_fork();
    mv_quarantine_after_fork();
    cs_report_after_fork(in_child);
    --cs_in_runtime;
}

static void parent_after_fork(void)
{
    after_fork(0);
}
static void child_after_fork(void)
{
    after_fork(1);
}

/* Registered before the program's start-up registers the dynamic linker's
 * finaliser, so this runs after every destructor, with the status the
 * program exits with. */
static void at_exit(int status, void *unused)
{
    (void)unused;
    mv_quarantine_drain();
    mv_check_live_blocks();
    struct cs_leak_totals leaks = {0};
    mv_scan_leaks_at_exit(&leaks);
    cs_finish_reports(&leaks);
    struct cs_counts counts;
    cs_get_counts(&counts);
    /* Leaks count through their reports: a suppressed kind changes nothing. */
    if (status == 0 && counts.errors > 0 && cs_settings.exit_status >= 0 && cs_reporting()) {
        /* What exit would still do after the handlers: flush stdio. */
        fflush(NULL);
        _exit(cs_settings.exit_status);
    }
}

__attribute__((constructor)) static void memvex_start(void)
{
    mv_ensure_ready();
    pthread_atfork(before_fork, parent_after_fork, child_after_fork);
    on_exit(at_exit, NULL);
}
