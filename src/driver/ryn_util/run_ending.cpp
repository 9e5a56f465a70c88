#include "driver/ryn_util/run_ending.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/progress_line.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

std::atomic<pid_t> g_child{0};
std::atomic<bool> g_ending{false};
void (*g_hook)(int) = nullptr;

constexpr int k_fatal_signals[] = {SIGINT, SIGILL, SIGFPE, SIGBUS, SIGSEGV, SIGTERM, SIGHUP};
// How long a stopped child may take to end after SIGTERM, in 10 ms steps.
constexpr int k_grace_steps = 200;

sigset_t g_mask_before_ending;
bool g_mask_saved = false;

void block_fatal_signals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : k_fatal_signals) {
        sigaddset(&set, sig);
    }
    sigprocmask(SIG_BLOCK, &set, &g_mask_before_ending);
    g_mask_saved = true;
}

void write_text(const char* text) noexcept {
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

// One line saying why the run stops, written without stdio or the heap.
void say_stopped_by(int sig) noexcept {
    if (_util != nullptr) {
        write_text(_util->component.c_str());
    }
    write_text(" (error): stopped by signal SIG");
    const char* name = sigabbrev_np(sig);
    write_text(name ? name : "?");
    write_text("; putting back replaced files\n");
}

// Removes what the run made that nobody else may keep: the half-made
// replacement, temporary files (unless kept for inspection) and locks.
void remove_run_files() noexcept {
    remove_pending_replacement();
    if (_util != nullptr) {
        _util->cleanup();
    }
}

void fatal_signal_handler(int sig) {
    const int saved_errno = errno;
    // A second fatal signal during the ending is blocked by the handler's
    // mask; an ending already under way in ordinary code has blocked them.
    if (g_ending.exchange(true)) {
        errno = saved_errno;
        return;
    }
    clear_progress_line();
    say_stopped_by(sig);
    stop_running_child();
    put_back_all_kept();
    remove_run_files();
    drop_all_kept();
    errno = saved_errno;
    if (g_hook != nullptr) {
        g_hook(128 + sig);
    }
    // Reset on delivery: the re-raised signal takes its default action once
    // the handler returns and the mask lets it through.
    raise(sig);
}

}  // namespace

void set_run_end_hook(void (*hook)(int status)) { g_hook = hook; }

void set_running_child(pid_t pid) noexcept { g_child.store(pid); }

void clear_running_child() noexcept { g_child.store(0); }

void stop_running_child() noexcept {
    const pid_t pid = g_child.exchange(0);
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    int status;
    const struct timespec step { 0, 10L * 1000 * 1000 };
    for (int i = 0; i < k_grace_steps; ++i) {
        const pid_t waited = waitpid(pid, &status, WNOHANG);
        if (waited == pid || (waited == -1 && errno != EINTR)) {
            return;
        }
        clock_nanosleep(CLOCK_MONOTONIC, 0, &step, nullptr);
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
}

void end_run_now(int status) {
    clear_progress_line();
    // Without restoring again, the run's own files still go: nobody else
    // would ever remove them.
    remove_run_files();
    if (g_hook != nullptr) {
        // The hook leaves this run for the next one in the same process,
        // which must be able to end again.
        g_ending.store(false);
        if (std::exchange(g_mask_saved, false)) {
            sigprocmask(SIG_SETMASK, &g_mask_before_ending, nullptr);
        }
        g_hook(status);
    }
    exit(status);
}

void end_run(int status) {
    // The ending runs once: a signal now would restore a second time while
    // this one is half done.
    block_fatal_signals();
    if (g_ending.exchange(true)) {
        end_run_now(status);
    }
    stop_running_child();
    // Renames first: they cannot fail halfway, whatever the restore below
    // (which copies and reports) runs into.
    put_back_all_kept();
    if (_util != nullptr) {
        _util->restore();
    }
    drop_all_kept();
    end_run_now(status);
}

void abandon_run(int status) { exit(status); }

void install_fatal_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = fatal_signal_handler;
    sigemptyset(&action.sa_mask);
    for (const int sig : k_fatal_signals) {
        sigaddset(&action.sa_mask, sig);
    }
    action.sa_flags = SA_RESETHAND;
    for (const int sig : k_fatal_signals) {
        sigaction(sig, &action, nullptr);
    }
}

}  // namespace ryn
