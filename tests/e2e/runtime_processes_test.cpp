// A probed program runs as without probes and leaves its data through its
// own signal handling (its SIGTRAP handler and mask, a handler that blocks
// every signal, its own fatal-signal handler, the default deaths) and an
// exec, and a dlopen'ed library is served from its fresh copy in the cache
// and named in the library log. (Forks: the runtime counts test.)
#include <md5.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/engine_support.h"
#include "support/runtime_support.h"

using namespace ryn;
using namespace ryn_test;

namespace {

// One program, one way of running per argument:
// own_trap: a foreign trap raised while SIGTRAP is blocked (across a probe)
//   reaches the program's own handler once unblocked, as does an int3 of its
//   own; the program still sees its mask and handler.
// masked: handlers whose mask holds SIGTRAP, for a signal the runtime watches
//   and for one it does not.
// exec: the data of the image an exec replaces is written before it goes; a
//   failed exec goes on measuring, its traps still handled.
// Otherwise it dies by SIGSEGV, by its own int3 ("trap") or through its own
// SIGSEGV handler ending in _exit ("handler").
const char* const k_program = R"(#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
static void on_trap(int sig) { (void)sig; write(1, "trap\n", 5); }
static void on_segv(int sig) { (void)sig; write(1, "caught\n", 7); _exit(3); }
int in_handler(int x) { return x * 3; }
static void on_usr1(int sig) { printf("handled %d\n", in_handler(sig)); }
static void on_winch(int sig) { printf("handled %d\n", sig * 3); }
int work(int x) { return x + 4; }
int crash(volatile int *p) { return *p = 1; }
void stray(void) { __asm__ volatile("int3"); }
int after_failure(void) { return 0; }
static int own_trap(void) {
    struct sigaction sa = {0}, seen;
    sa.sa_handler = on_trap;
    sigaction(SIGTRAP, &sa, NULL);
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTRAP);
    sigprocmask(SIG_BLOCK, &set, NULL);
    printf("%d\n", work(3));
    fflush(stdout);
    raise(SIGTRAP);
    write(1, "raised\n", 7);
    pthread_sigmask(SIG_SETMASK, NULL, &old);
    sigaction(SIGTRAP, NULL, &seen);
    printf("blocked %d mine %d\n", sigismember(&old, SIGTRAP), seen.sa_handler == on_trap);
    fflush(stdout);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
    write(1, "after\n", 6);
    __asm__ volatile("int3");
    return 0;
}
static int masked(void) {
    struct sigaction sa = {0};
    sa.sa_handler = on_usr1;
    sigfillset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, NULL);
    sa.sa_handler = on_winch;
    sigaction(SIGWINCH, &sa, NULL);
    raise(SIGUSR1);
    raise(SIGWINCH);
    return 0;
}
int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "own_trap") == 0)
        return own_trap();
    if (strcmp(mode, "masked") == 0)
        return masked();
    if (strcmp(mode, "exec") == 0) {
        puts("before");
        fflush(stdout);
        execl("/nonexistent/program", "x", (char *)0);
        after_failure();
        execlp("echo", "echo", "replaced", (char *)0);
        return 1;
    }
    if (strcmp(mode, "handler") == 0)
        signal(SIGSEGV, on_segv);
    puts("start");
    fflush(stdout);
    if (strcmp(mode, "trap") == 0)
        stray();
    return crash(0);
}
)";

const RunCase k_cases[] = {
    {"own_trap",
     "own_trap",
     "7\nraised\nblocked 1 mine 1\ntrap\nafter\ntrap\n",
     0,
     {{"crash", 0}, {"on_trap", 2}, {"work", 1}}},
    {"segv_no_pie", "", "start\n", 128 + 11, {{"crash", 1}, {"stray", 0}, {"work", 0}}, "-no-pie"},
    // An int3 of the program's own is not a probe: it kills as before.
    {"stray_int3", "trap", "start\n", 128 + 5, {{"crash", 0}, {"stray", 1}}},
    {"masked", "masked", "handled 30\nhandled 84\n", 0, {{"in_handler", 1}, {"on_winch", 1}}},
    {"own_fatal_handler", "handler", "start\ncaught\n", 3, {{"crash", 1}}},
    {"exec", "exec", "before\nreplaced\n", 0, {{"after_failure", 1}, {"main", 1}}},
};

using ProbedProgram = ProbedProgramTest;

TEST_F(ProbedProgram, SignalsAndExecsBehaveAsWithoutProbesAndTheDataIsWritten) {
    for (const RunCase& c : k_cases) {
        SCOPED_TRACE(c.name);
        check(k_program, c);
    }
}

// The digest text the driver names cached copies with.
std::string md5_text(const std::string& bytes) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    return md5_digest_text(digest);
}

TEST_F(ProbedProgram, LibrariesComeFromFreshCopiesAndGoToTheLog) {
    const std::string lib = dir / "libplug.so";
    ASSERT_TRUE(
        compile_c("int plug(int x) { return x + 1; }\nint plug_unused(void) { return 0; }\n", lib,
                  "-shared -fPIC"));
    const std::string cache = dir / "cache";
    const std::string copy_dir = cache + "/count" + md5_text(lib);
    ASSERT_EQ(run_shell("mkdir -p " + copy_dir).status, 0);
    ASSERT_TRUE(make_probed_copy(lib, copy_dir + "/libplug.so", "plug.instrdata"));
    auto write_stamp = [&] {
        struct stat st {};
        stat(lib.c_str(), &st);
        write_file(
            copy_dir + "/libplug.so.cksum_tstamp",
            md5_text(md5_text(read_file(lib)) + std::to_string(static_cast<int>(st.st_mtime))));
    };
    write_stamp();
    const std::string log = dir / "prog.liblog";
    build(R"(#include <dlfcn.h>
#include <stdio.h>
int main(int argc, char **argv) {
    void *handle = dlopen(argv[1], RTLD_NOW);
    int (*plug)(int) = handle ? (int (*)(int))dlsym(handle, "plug") : 0;
    printf("plug %d\n", plug ? plug(argc) : -1);
    return 0;
}
)",
          "", {"9 " + cache, "11 /lib/", "11 /usr/lib/", "11 /lib64/", "11 libm", "19 " + log});
    const auto plugged = [&] { return read_instrdata(dir / "plug.instrdata/prog.instrdata"); };

    EXPECT_EQ(run_alike(lib).out, "plug 3\n");
    EXPECT_EQ(plugged().object, lib);
    EXPECT_EQ(plugged().counts,
              (std::map<std::string, unsigned long>{{"plug", 1}, {"plug_unused", 0}}));
    // The original path, and nothing the run calls ignorable.
    EXPECT_EQ(read_file(log), lib + "\n");

    // A library changed since its copy was made is used as it is.
    ASSERT_EQ(run_shell("touch -d '2001-01-01' " + lib).status, 0);
    EXPECT_EQ(run_alike(lib).out, "plug 3\n");
    EXPECT_EQ(plugged().counts.at("plug"), 1u);
    write_stamp();
    run_alike(lib);
    EXPECT_EQ(plugged().counts.at("plug"), 2u);
    // Every run names the library once in all.
    EXPECT_EQ(read_file(log), lib + "\n");
}

}  // namespace
