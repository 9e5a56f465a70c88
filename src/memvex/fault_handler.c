/* SIGSEGV and SIGBUS: a fault on a guarded block's pages is the program's
 * error, reported with the faulting stack and the block's stacks before the
 * process ends by the signal's default action. Every other fault belongs to
 * the program: it goes to the handler the program installed (or that was
 * installed before us), or to the default action. The program sets and reads
 * its handlers for these two signals through our sigaction and signal, and
 * sees only its own. */
#define UNW_LOCAL_ONLY
#include "memvex.h"
#include "guard_pages.h"

#include <errno.h>
#include <libunwind.h>
#include <signal.h>
#include <stdatomic.h>
#include <string.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "cs_lock.h"

/* The C library's own, under names the program does not interpose. */
int __sigaction(int signal, const struct sigaction *action, struct sigaction *old);
typedef void (*mv_handler_t)(int);
mv_handler_t bsd_signal(int signal, mv_handler_t handler);

static struct sigaction program_action[2]; /* SIGSEGV, SIGBUS */
static cs_lock_t action_lock;
static atomic_int installed;

static int slot_of(int signal)
{
    return signal == SIGSEGV ? 0 : signal == SIGBUS ? 1 : -1;
}

/* The faulting instruction and its callers, from the signal's context. */
static uint32_t fault_stack(ucontext_t *context)
{
    uintptr_t pcs[CS_MAX_DEPTH];
    size_t depth = 0;
    unw_cursor_t cursor;
    if (unw_init_local2(&cursor, (unw_context_t *)context, UNW_INIT_SIGNAL_FRAME) == 0) {
        do {
            unw_word_t ip = 0;
            if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0)
                break;
            /* Frames are named by return addresses, looked up one byte back;
             * the faulting instruction itself is not one. */
            pcs[depth] = depth == 0 ? ip + 1 : ip;
            ++depth;
        } while (depth < (size_t)cs_settings.stack_depth && unw_step(&cursor) > 0);
    }
    return cs_depot_put(pcs, depth);
}

static void report_fault(const struct mv_block *block, uintptr_t guard, uintptr_t address, ucontext_t *context)
{
    int write = (context->uc_mcontext.gregs[REG_ERR] & 2) != 0;
    char text[320];
    struct ryn_out out;
    ryn_out_init(&out, -1, text, sizeof text);
    ryn_out_str(&out, write ? "write at " : "read at ");
    ryn_out_hex(&out, address);
    int after_free = block->state != MV_LIVE;
    if (after_free) {
        ryn_out_str(&out, ", inside the freed block of ");
    } else {
        ryn_out_str(&out, ", ");
        ryn_out_udec(&out, address - block->user - block->size + 1);
        ryn_out_str(&out, address >= guard ? " bytes past the end of the block of " : " bytes from the block of ");
    }
    ryn_out_udec(&out, block->size);
    ryn_out_str(&out, " bytes at ");
    ryn_out_hex(&out, block->user);
    if (after_free) {
        ryn_out_str(&out, " (offset ");
        ryn_out_dec(&out, (int64_t)(address - block->user));
        ryn_out_char(&out, ')');
    }
    struct cs_error error = {
        .kind = after_free ? "access-after-free" : "overflow-access",
        .description = ryn_out_text(&out),
    };
    error.stacks[0].title = NULL;
    error.stacks[0].id = fault_stack(context);
    error.stacks[1].title = "allocated at";
    error.stacks[1].id = block->alloc_stack;
    error.stack_count = 2;
    if (after_free) {
        error.stacks[2].title = "freed at";
        error.stacks[2].id = block->free_stack;
        error.stack_count = 3;
    }
    cs_report(&error);
}

/* The default action: from the handler's return on, the signal kills. A
 * fault re-executes and faults again; a sent signal is sent again. */
static void die_by_default(int signal, const siginfo_t *info)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    __sigaction(signal, &action, NULL);
    if (info->si_code <= 0)
        syscall(SYS_tgkill, getpid(), (int)syscall(SYS_gettid), signal);
}

static void pass_to_program(int signal, siginfo_t *info, void *context)
{
    int slot = slot_of(signal);
    cs_lock(&action_lock);
    struct sigaction action = program_action[slot];
    if (action.sa_flags & SA_RESETHAND) {
        memset(&program_action[slot], 0, sizeof program_action[slot]);
        program_action[slot].sa_handler = SIG_DFL;
    }
    cs_unlock(&action_lock);
    int has_handler = (action.sa_flags & SA_SIGINFO) ? action.sa_sigaction != NULL
                                                     : action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
    if (!has_handler) {
        /* Ignoring a fault is not possible; the kernel would kill too. */
        die_by_default(signal, info);
        return;
    }
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &action.sa_mask, &saved);
    if (action.sa_flags & SA_SIGINFO)
        action.sa_sigaction(signal, info, context);
    else
        action.sa_handler(signal);
    pthread_sigmask(SIG_SETMASK, &saved, NULL);
}

static void on_fault(int signal, siginfo_t *info, void *context)
{
    int saved_errno = errno;
    struct mv_block block;
    uintptr_t guard = 0;
    uintptr_t address = (uintptr_t)info->si_addr;
    /* Only a fault the kernel raised names an address. */
    if (info->si_code > 0 && mv_guard_find(address, &block, &guard)) {
        ++cs_in_runtime;
        report_fault(&block, guard, address, context);
        cs_finish_reports(NULL);
        --cs_in_runtime;
        die_by_default(signal, info);
    } else {
        pass_to_program(signal, info, context);
    }
    errno = saved_errno;
}

void mv_install_fault_handler(void)
{
    int expected = 0;
    if (!atomic_compare_exchange_strong(&installed, &expected, 1))
        return;
    struct sigaction ours;
    memset(&ours, 0, sizeof ours);
    ours.sa_sigaction = on_fault;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    cs_lock(&action_lock);
    __sigaction(SIGSEGV, &ours, &program_action[0]);
    __sigaction(SIGBUS, &ours, &program_action[1]);
    cs_unlock(&action_lock);
}

__attribute__((constructor)) static void install_at_start(void)
{
    mv_install_fault_handler();
}

MV_EXPORT int sigaction(int signal, const struct sigaction *action, struct sigaction *old)
{
    int slot = slot_of(signal);
    if (slot < 0)
        return __sigaction(signal, action, old);
    mv_install_fault_handler();
    cs_lock(&action_lock);
    if (old != NULL)
        *old = program_action[slot];
    if (action != NULL)
        program_action[slot] = *action;
    cs_unlock(&action_lock);
    return 0;
}

MV_EXPORT mv_handler_t signal(int signal, mv_handler_t handler)
{
    if (slot_of(signal) < 0)
        return bsd_signal(signal, handler);
    struct sigaction action, old;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, signal);
    sigaction(signal, &action, &old);
    return old.sa_handler;
}
