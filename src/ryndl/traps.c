/* Signal handling on behalf of the program. While probes remain, SIGTRAP
 * always reaches our handler (the kernel kills a process whose int3 trap is
 * blocked or ignored); the deadly signals the program leaves at their default
 * action pass through a handler that writes the data and re-raises. The
 * program keeps its own view: what it installed, what it inherited and what
 * it blocked is what it reads back. */
#include "runtime.h"

#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

static const int deadly_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGABRT, SIGBUS,  SIGFPE,  SIGSEGV,
                                     SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGSYS};

/* What the program believes each watched signal's action is. */
static struct sigaction program_view[NSIG];
static unsigned char watched[NSIG];
static int armed;
/* Whether the program asked this thread to block SIGTRAP. */
static __thread int trap_blocked_by_program;
/* A SIGTRAP sent while the program had it blocked waits here until the
 * program unblocks it, as the kernel would have kept it pending. */
static __thread int trap_pending;

static void on_trap(int sig, siginfo_t *info, void *context);
static void on_deadly(int sig, siginfo_t *info, void *context);

/* The program's own functions, found when it binds to them, so that errno
 * and every side effect land in the program's namespace. */
struct real_entry {
    const char *name;
    void *address;
};
static struct real_entry reals[] = {
    {"sigaction", NULL}, {"signal", NULL},  {"sigprocmask", NULL},    {"pthread_sigmask", NULL}, {"fork", NULL},
    {"_exit", NULL},     {"_Exit", NULL},   {"execve", NULL},         {"execv", NULL},           {"execvp", NULL},
    {"execvpe", NULL},   {"fexecve", NULL}, {"pthread_create", NULL}, {"thrd_create", NULL},     {"timer_create", NULL},
    {"mq_notify", NULL}, {"clone", NULL},
};

void ryn_set_real(const char *name, uintptr_t address)
{
    for (size_t i = 0; i < sizeof reals / sizeof reals[0]; ++i)
        if (strcmp(reals[i].name, name) == 0 && reals[i].address == NULL)
            reals[i].address = (void *)address;
}

void *ryn_real(const char *name)
{
    for (size_t i = 0; i < sizeof reals / sizeof reals[0]; ++i)
        if (strcmp(reals[i].name, name) == 0)
            return reals[i].address;
    return NULL;
}

/* Every function a wrapper may need is looked up once the initial objects
 * are relocated, through a handle the program's namespace hands out (a bare
 * link map is no handle dlsym accepts from here). */
int ryn_resolving_reals;

void ryn_resolve_reals(void)
{
    /* dlsym is audited too: our own look-ups must not get the wrappers. */
    ryn_resolving_reals = 1;
    void *libc = dlmopen(LM_ID_BASE, "libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    for (size_t i = 0; i < sizeof reals / sizeof reals[0]; ++i)
        if (libc != NULL && reals[i].address == NULL)
            reals[i].address = dlsym(libc, reals[i].name);
    ryn_resolving_reals = 0;
}

static int kernel_sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    return sigaction(sig, act, old);
}

/* Installs what the kernel should run for a watched signal given the
 * program's view. */
static void install_for_view(int sig)
{
    const struct sigaction *view = &program_view[sig];
    struct sigaction ours;
    memset(&ours, 0, sizeof ours);
    ours.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    if (sig == SIGTRAP) {
        /* The program's handler, run from ours, may hit probes itself, and
         * runs on the stack it asked for. */
        ours.sa_sigaction = on_trap;
        ours.sa_flags = SA_SIGINFO | SA_RESTART | SA_NODEFER | (view->sa_flags & SA_ONSTACK);
        ours.sa_mask = view->sa_mask;
        sigdelset(&ours.sa_mask, SIGTRAP);
        kernel_sigaction(sig, &ours, NULL);
    } else if (!(view->sa_flags & SA_SIGINFO) && view->sa_handler == SIG_DFL) {
        ours.sa_sigaction = on_deadly;
        sigemptyset(&ours.sa_mask);
        kernel_sigaction(sig, &ours, NULL);
    } else {
        struct sigaction theirs = *view;
        sigdelset(&theirs.sa_mask, SIGTRAP);
        kernel_sigaction(sig, &theirs, NULL);
    }
}

void ryn_arm_signals(void)
{
    if (armed)
        return;
    armed = 1;
    watched[SIGTRAP] = 1;
    kernel_sigaction(SIGTRAP, NULL, &program_view[SIGTRAP]);
    install_for_view(SIGTRAP);
    for (size_t i = 0; i < sizeof deadly_signals / sizeof deadly_signals[0]; ++i) {
        int sig = deadly_signals[i];
        if (kernel_sigaction(sig, NULL, &program_view[sig]) != 0)
            continue;
        /* An inherited SIG_IGN stays exactly as it is. */
        watched[sig] = 1;
        install_for_view(sig);
    }
    /* A mask inherited with SIGTRAP blocked is the program's view only. */
    sigset_t trap, previous;
    sigemptyset(&trap);
    sigaddset(&trap, SIGTRAP);
    if (sigprocmask(SIG_UNBLOCK, &trap, &previous) == 0)
        trap_blocked_by_program = sigismember(&previous, SIGTRAP);
}

/* Before an exec: the new image inherits what the program set, not ours. */
void ryn_restore_program_signals(void)
{
    if (!armed)
        return;
    for (int sig = 1; sig < NSIG; ++sig)
        if (watched[sig] && program_view[sig].sa_handler == SIG_IGN)
            kernel_sigaction(sig, &program_view[sig], NULL);
    if (trap_blocked_by_program) {
        sigset_t trap;
        sigemptyset(&trap);
        sigaddset(&trap, SIGTRAP);
        sigprocmask(SIG_BLOCK, &trap, NULL);
    }
}

void ryn_rearm_after_exec_failure(void)
{
    if (!armed)
        return;
    for (int sig = 1; sig < NSIG; ++sig)
        if (watched[sig])
            install_for_view(sig);
    sigset_t trap;
    sigemptyset(&trap);
    sigaddset(&trap, SIGTRAP);
    sigprocmask(SIG_UNBLOCK, &trap, NULL);
}

static void die_by(int sig, const siginfo_t *info)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    kernel_sigaction(sig, &dfl, NULL);
    /* A fault raised by the kernel comes back by itself when the faulting
     * instruction runs again; anything else is sent again to this thread and
     * delivered once the handler returns. */
    if (info->si_code <= 0 || sig == SIGABRT || sig == SIGTRAP)
        syscall(SYS_tgkill, (pid_t)syscall(SYS_getpid), (pid_t)syscall(SYS_gettid), sig);
}

static void forward(int sig, siginfo_t *info, void *context)
{
    struct sigaction view = program_view[sig];
    if (view.sa_flags & SA_RESETHAND) {
        memset(&program_view[sig], 0, sizeof program_view[sig]);
        program_view[sig].sa_handler = SIG_DFL;
    }
    if (view.sa_flags & SA_SIGINFO) {
        view.sa_sigaction(sig, info, context);
    } else if (view.sa_handler == SIG_IGN) {
        /* The kernel does not let a trap be ignored: it kills the process. */
        if (info->si_code == SI_KERNEL) {
            ryn_flush_all();
            die_by(sig, info);
        }
    } else if (view.sa_handler == SIG_DFL) {
        ryn_flush_all();
        die_by(sig, info);
    } else {
        view.sa_handler(sig);
    }
}

static void on_trap(int sig, siginfo_t *info, void *context)
{
    int saved_errno = errno;
    ucontext_t *uc = context;
    if (info->si_code == SI_KERNEL) {
        uintptr_t pc = (uintptr_t)uc->uc_mcontext.gregs[REG_RIP] - 1;
        if (ryn_take_site(pc, uc)) {
            errno = saved_errno;
            return;
        }
        if (ryn_take_probe(pc)) {
            uc->uc_mcontext.gregs[REG_RIP] = (greg_t)pc;
            errno = saved_errno;
            return;
        }
    }
    errno = saved_errno;
    if (trap_blocked_by_program && info->si_code != SI_KERNEL) {
        trap_pending = 1;
        return;
    }
    forward(sig, info, context);
}

static void on_deadly(int sig, siginfo_t *info, void *context)
{
    /* The program may have installed a handler while this one was queued. */
    const struct sigaction *view = &program_view[sig];
    if ((view->sa_flags & SA_SIGINFO) || view->sa_handler != SIG_DFL) {
        forward(sig, info, context);
        return;
    }
    ryn_flush_all();
    die_by(sig, info);
}

int ryn_wrap_sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    int (*real)(int, const struct sigaction *, struct sigaction *) =
        (int (*)(int, const struct sigaction *, struct sigaction *))ryn_real("sigaction");
    if (real == NULL)
        real = sigaction;
    if (sig <= 0 || sig >= NSIG || !armed || !watched[sig]) {
        /* A handler that blocks everything must still let probes trap. */
        struct sigaction copy;
        if (act != NULL && armed && ryn_probes_armed()) {
            copy = *act;
            sigdelset(&copy.sa_mask, SIGTRAP);
            act = &copy;
        }
        return real(sig, act, old);
    }
    struct sigaction previous = program_view[sig];
    if (act != NULL) {
        /* Let the C library reject what it would reject. */
        struct sigaction probe;
        if (real(sig, NULL, &probe) != 0)
            return -1;
        program_view[sig] = *act;
        install_for_view(sig);
    }
    if (old != NULL)
        *old = previous;
    return 0;
}

/* signal() with the C library's semantics: restartable, not reset. */
static sighandler_t wrap_signal(int sig, sighandler_t handler)
{
    if (sig <= 0 || sig >= NSIG || !armed || !watched[sig]) {
        sighandler_t (*real)(int, sighandler_t) = (sighandler_t(*)(int, sighandler_t))ryn_real("signal");
        return real ? real(sig, handler) : signal(sig, handler);
    }
    struct sigaction act, old;
    memset(&act, 0, sizeof act);
    act.sa_handler = handler;
    act.sa_flags = SA_RESTART;
    sigemptyset(&act.sa_mask);
    sigaddset(&act.sa_mask, sig);
    if (ryn_wrap_sigaction(sig, &act, &old) != 0)
        return SIG_ERR;
    return old.sa_handler;
}

/* Takes SIGTRAP out of a set the program wants blocked, and remembers it. */
static const sigset_t *filter_mask(int how, const sigset_t *set, sigset_t *copy)
{
    if (set == NULL || !armed || !ryn_probes_armed())
        return set;
    int has_trap = sigismember(set, SIGTRAP) == 1;
    if (how == SIG_BLOCK && has_trap)
        trap_blocked_by_program = 1;
    else if (how == SIG_UNBLOCK && has_trap)
        trap_blocked_by_program = 0;
    else if (how == SIG_SETMASK)
        trap_blocked_by_program = has_trap;
    if (!has_trap || how == SIG_UNBLOCK)
        return set;
    *copy = *set;
    sigdelset(copy, SIGTRAP);
    return copy;
}

static void report_view(sigset_t *old, int was_blocked)
{
    if (old != NULL && was_blocked && armed)
        sigaddset(old, SIGTRAP);
    if (trap_pending && !trap_blocked_by_program) {
        trap_pending = 0;
        syscall(SYS_tgkill, (pid_t)syscall(SYS_getpid), (pid_t)syscall(SYS_gettid), SIGTRAP);
    }
}

typedef int (*mask_call)(int, const sigset_t *, sigset_t *);

/* Both mask calls: SIGTRAP stays deliverable while the program keeps its own
 * view of whether it blocked it. */
static int apply_program_mask(mask_call call, int how, const sigset_t *set, sigset_t *old)
{
    int was_blocked = trap_blocked_by_program;
    sigset_t copy;
    if (how != SIG_BLOCK && how != SIG_UNBLOCK && how != SIG_SETMASK)
        return call(how, set, old);
    const sigset_t *effective = filter_mask(how, set, &copy);
    int result = call(how, effective, old);
    if (result == 0)
        report_view(old, was_blocked);
    else
        trap_blocked_by_program = was_blocked;
    return result;
}

static int wrap_sigprocmask(int how, const sigset_t *set, sigset_t *old)
{
    mask_call real = (mask_call)ryn_real("sigprocmask");
    return apply_program_mask(real ? real : sigprocmask, how, set, old);
}

static int wrap_pthread_sigmask(int how, const sigset_t *set, sigset_t *old)
{
    mask_call real = (mask_call)ryn_real("pthread_sigmask");
    return apply_program_mask(real ? real : pthread_sigmask, how, set, old);
}

uintptr_t ryn_signal_wrapper_for(const char *name)
{
    if (strcmp(name, "sigaction") == 0 || strcmp(name, "__sigaction") == 0)
        return (uintptr_t)ryn_wrap_sigaction;
    if (strcmp(name, "signal") == 0)
        return (uintptr_t)wrap_signal;
    if (strcmp(name, "sigprocmask") == 0)
        return (uintptr_t)wrap_sigprocmask;
    if (strcmp(name, "pthread_sigmask") == 0)
        return (uintptr_t)wrap_pthread_sigmask;
    return 0;
}
