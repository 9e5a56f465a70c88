/* libvek.so, the thread checker's runtime. The memory checker's data-race
 * mode puts it first among the program's needed libraries, so its pthread
 * lock calls and free reach us before libc; each call is forwarded unchanged
 * and watched for errors of locking:
 *   lock-order-inversion  two locks (or a longer cycle) taken in orders that
 *                         can deadlock, found when the closing order first
 *                         appears, before any thread has to wait;
 *   unlock-not-held       a release by a thread that does not hold the lock;
 *   destroy-held-lock     a lock destroyed while some thread holds it;
 *   free-held-lock        memory freed while it contains a held lock;
 *   exit-holding-lock     a thread ending while it holds a lock.
 * It does not look at the program's memory accesses, so it does not find
 * unsynchronised accesses to shared data.
 *
 * Nothing is printed by a process that finds nothing. */
#include "vek.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int exit_status_seen;
static int exit_status;

static void before_fork(void)
{
    vek_graph_lock_for_fork();
    vek_errors_before_fork();
}

static void after_fork_in_parent(void)
{
    vek_errors_after_fork(0);
    vek_graph_unlock_after_fork();
}

static void after_fork_in_child(void)
{
    vek_errors_after_fork(1);
    vek_graph_unlock_after_fork();
    vek_threads_after_fork_in_child();
}

/* A run that asked for it turns a clean exit status into its own when
 * errors were found. The status is known only to exit handlers, which the
 * dynamic linker's destructor pass may run before or after ours; whichever
 * of the two comes second decides. The program's buffered output is written
 * first, as exit would have. */
static int reports_finished;
static int errors_found;

static void apply_exit_status(void)
{
    if (errors_found && cs_reporting() && exit_status == 0 && cs_settings.exit_status >= 0) {
        fflush(NULL);
        _exit(cs_settings.exit_status);
    }
}

static void note_exit_status(int status, void *unused)
{
    (void)unused;
    exit_status = status;
    exit_status_seen = 1;
    if (reports_finished)
        apply_exit_status();
}

__attribute__((constructor(101))) static void vek_start(void)
{
    vek_resolve_reals();
    ++cs_in_runtime;
    cs_read_settings("vek");
    --cs_in_runtime;
    vek_threads_init();
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    on_exit(note_exit_status, NULL);
}

/* The program's libraries and its own destructors have run before ours, so
 * the summary comes last. */
__attribute__((destructor)) static void vek_end(void)
{
    errors_found = vek_finish_reports();
    reports_finished = 1;
    if (exit_status_seen)
        apply_exit_status();
}

VEK_EXPORT void free(void *ptr)
{
    if (ptr == NULL || !vek_checking()) {
        (vek_real.free ? vek_real.free : __libc_free)(ptr);
        return;
    }
    vek_before_free(ptr);
    vek_real.free(ptr);
}
