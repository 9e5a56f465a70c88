/* Stand-ins for the program's process calls. Data is written before the
 * process image is replaced or the process ends without exit handlers, and
 * each side of a fork records or not as the run asked. */
#include "runtime.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

typedef pid_t (*fork_fn)(void);
typedef void (*exit_fn)(int);
typedef int (*execve_fn)(const char *, char *const[], char *const[]);
typedef int (*execv_fn)(const char *, char *const[]);
typedef int (*fexecve_fn)(int, char *const[], char *const[]);

extern char **environ;

static pid_t wrap_fork(void)
{
    fork_fn real = (fork_fn)ryn_real("fork");
    pid_t pid = real ? real() : fork();
    if (pid == 0) {
        ryn_flush_reset_after_fork();
        if (ryn_settings.fork_mode == 0)
            ryn_recording = 0;
    } else if (pid > 0 && ryn_settings.fork_mode == 1) {
        ryn_recording = 0;
    }
    return pid;
}

/* A vfork child shares the parent's memory, so a probe it hit would be
 * recorded in the parent's name and the code writer would be reopened under
 * the parent's feet; a real fork behaves the same for the program. */
static pid_t wrap_vfork(void)
{
    return wrap_fork();
}

static void wrap_exit(int status)
{
    ryn_flush_all();
    exit_fn real = (exit_fn)ryn_real("_exit");
    if (real)
        real(status);
    _exit(status);
}

static void before_exec(void)
{
    ryn_flush_all();
    ryn_restore_program_signals();
}

static int wrap_execve(const char *path, char *const argv[], char *const envp[])
{
    before_exec();
    execve_fn real = (execve_fn)ryn_real("execve");
    int result = real ? real(path, argv, envp) : execve(path, argv, envp);
    ryn_rearm_after_exec_failure();
    return result;
}

static int call_execv(const char *name, const char *path, char *const argv[])
{
    before_exec();
    execv_fn real = (execv_fn)ryn_real(name);
    int result = -1;
    if (real)
        result = real(path, argv);
    ryn_rearm_after_exec_failure();
    return result;
}

static int wrap_execv(const char *path, char *const argv[])
{
    return call_execv("execv", path, argv);
}

static int wrap_execvp(const char *file, char *const argv[])
{
    return call_execv("execvp", file, argv);
}

static int wrap_execvpe(const char *file, char *const argv[], char *const envp[])
{
    before_exec();
    execve_fn real = (execve_fn)ryn_real("execvpe");
    int result = real ? real(file, argv, envp) : -1;
    ryn_rearm_after_exec_failure();
    return result;
}

static int wrap_fexecve(int fd, char *const argv[], char *const envp[])
{
    before_exec();
    fexecve_fn real = (fexecve_fn)ryn_real("fexecve");
    int result = real ? real(fd, argv, envp) : -1;
    ryn_rearm_after_exec_failure();
    return result;
}

/* The list forms, gathered into a vector on the stack and passed to the
 * program's vector forms. */
static size_t count_args(const char *first, va_list args)
{
    size_t count = 1;
    if (first == NULL)
        return 0;
    while (va_arg(args, const char *) != NULL)
        ++count;
    return count;
}

#define GATHER(first, argv, with_env, envp)                       \
    va_list args;                                                 \
    va_start(args, first);                                        \
    size_t count = count_args(first, args);                       \
    va_end(args);                                                 \
    char **argv = __builtin_alloca((count + 1) * sizeof(char *)); \
    va_start(args, first);                                        \
    argv[0] = (char *)(first);                                    \
    for (size_t i = 1; i <= count; ++i)                           \
        argv[i] = va_arg(args, char *);                           \
    argv[count] = NULL;                                           \
    if (with_env)                                                 \
        envp = va_arg(args, char **);                             \
    va_end(args)

static int wrap_execl(const char *path, const char *arg, ...)
{
    char **envp = NULL;
    GATHER(arg, argv, 0, envp);
    (void)envp;
    return call_execv("execv", path, argv);
}

static int wrap_execlp(const char *file, const char *arg, ...)
{
    char **envp = NULL;
    GATHER(arg, argv, 0, envp);
    (void)envp;
    return call_execv("execvp", file, argv);
}

static int wrap_execle(const char *path, const char *arg, ...)
{
    char **envp = NULL;
    GATHER(arg, argv, 1, envp);
    return wrap_execve(path, argv, envp);
}

uintptr_t ryn_wrapper_for(const char *name)
{
    static const struct {
        const char *name;
        uintptr_t wrapper;
    } table[] = {
        {"fork", (uintptr_t)wrap_fork},     {"vfork", (uintptr_t)wrap_vfork},     {"_exit", (uintptr_t)wrap_exit},
        {"_Exit", (uintptr_t)wrap_exit},    {"execve", (uintptr_t)wrap_execve},   {"execv", (uintptr_t)wrap_execv},
        {"execvp", (uintptr_t)wrap_execvp}, {"execvpe", (uintptr_t)wrap_execvpe}, {"fexecve", (uintptr_t)wrap_fexecve},
        {"execl", (uintptr_t)wrap_execl},   {"execlp", (uintptr_t)wrap_execlp},   {"execle", (uintptr_t)wrap_execle},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (strcmp(table[i].name, name) == 0)
            return table[i].wrapper;
    uintptr_t wrapper = ryn_thread_wrapper_for(name);
    return wrapper ? wrapper : ryn_signal_wrapper_for(name);
}
