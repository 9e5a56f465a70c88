// Counting without the lock prefix while the process has one thread: the
// trampolines hold 0x3E over every listed prefix until the program starts a
// thread (here by pthread_create or clone), 0xF0 from then on, in objects
// loaded before and after; the counts of calls and branch edges stay exact
// with threads hammering one function.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "support/engine_support.h"
#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

// print_locks tells whether an object's listed lock prefixes hold 0xF0 or
// 0x3E in memory (or anything else), reading its table as the runtime finds
// it. One thread counts for a while with a counted library loaded, then four
// more hammer the same function, whose branch two different asm statements
// keep a branch at -O2; a second library is loaded once threads ran.
const char* const k_source = R"(#define _GNU_SOURCE
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include "ryn/probe_format.h"
struct tally { const char *name; unsigned locked, dropped, other; };
static int tally_object(struct dl_phdr_info *info, size_t size, void *data) {
    struct tally *t = data;
    (void)size;
    if (t->name[0] ? strstr(info->dlpi_name, t->name) == 0 : info->dlpi_name[0] != 0)
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *p = &info->dlpi_phdr[i];
        if (p->p_type != PT_LOAD || p->p_memsz < sizeof(struct ryn_probe_header))
            continue;
        const struct ryn_probe_header *h = (const void *)(info->dlpi_addr + p->p_vaddr);
        if (memcmp(h->magic, RYN_PROBE_MAGIC, RYN_PROBE_MAGIC_SIZE) != 0)
            continue;
        const uint64_t *locks = (const void *)((const char *)h + h->locks_offset);
        for (uint32_t k = 0; k < h->lock_count; ++k) {
            uint8_t byte = *(const volatile uint8_t *)(info->dlpi_addr + locks[k]);
            if (byte == 0xF0) ++t->locked;
            else if (byte == 0x3E) ++t->dropped;
            else ++t->other;
        }
    }
    return 0;
}
static void print_locks(const char *when, const char *name) {
    struct tally t = {name, 0, 0, 0};
    dl_iterate_phdr(tally_object, &t);
    const char *state = t.locked && !t.dropped ? "locked" : t.dropped && !t.locked ? "dropped"
                        : t.locked || t.dropped ? "mixed" : "none";
    printf("%s: %s%s\n", when, state, t.other ? " other" : "");
}
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#define CALLS 200000
__attribute__((noinline)) long work(long i) {
    if (i % 3 == 0) {
        __asm__ volatile("nop");
        return i;
    }
    __asm__ volatile("nop; nop");
    return -1;
}
__attribute__((noinline)) static void *hammer(void *arg) {
    long total = 0;
    for (long i = 0; i < CALLS; ++i)
        total += work(i);
    *(long *)arg = total;
    return 0;
}
static int hammer_clone(void *arg) { hammer(arg); return 0; }
int main(int argc, char **argv) {
    (void)argc;
    const int by_clone = strcmp(argv[1], "clone") == 0;
    long totals[5] = {0};
    dlopen(argv[2], RTLD_NOW);
    hammer(&totals[4]);
    print_locks("one thread", "");
    print_locks("early library", "libearly");
    pid_t children[4];
    pthread_t threads[4];
    for (int t = 0; t < 4; ++t) {
        if (by_clone)
            children[t] = clone(hammer_clone, (char *)malloc(1 << 16) + (1 << 16), CLONE_VM | SIGCHLD, &totals[t]);
        else
            pthread_create(&threads[t], 0, hammer, &totals[t]);
    }
    print_locks("threads", "");
    print_locks("early library", "libearly");
    for (int t = 0; t < 4; ++t) {
        if (by_clone)
            waitpid(children[t], 0, 0);
        else
            pthread_join(threads[t], 0);
    }
    dlopen(argv[3], RTLD_NOW);
    print_locks("late library", "liblate");
    printf("sum %ld\n", totals[0] + totals[1] + totals[2] + totals[3] + totals[4]);
    return 0;
}
)";

const std::string k_include = std::string("-I") + RYN_SOURCE_DIR + "/include";

class LockPrefixes : public ProbedProgramTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LockPrefixes, DroppedWithOneThreadAndBackBeforeTheSecondStarts) {
    std::string libraries;
    ASSERT_EQ(run_shell("mkdir -p " + dir / "copies").status, 0);
    for (const std::string name : {"libearly.so", "liblate.so"}) {
        ASSERT_TRUE(compile_c("__attribute__((noinline)) long plug(long i) { return i & 1; }\n",
                              dir / name, "-shared -fPIC " + std::string(GetParam()).substr(0, 3)));
        ASSERT_TRUE(make_probed_copy(dir / name, dir / ("copies/" + name), name + ".data"));
        libraries += " " + dir / ("copies/" + name);
    }
    ASSERT_NO_FATAL_FAILURE(build(k_source, std::string(GetParam()) + " " + k_include, {"1 ryn"}));
    for (const std::string starter : {"pthread_create", "clone"}) {
        SCOPED_TRACE("threads started by " + starter);
        run_shell("rm -rf d", dir.path());
        const RunResult result = run_shell(copy + " " + starter + libraries, dir.path());
        EXPECT_EQ(result.out,
                  "one thread: dropped\nearly library: dropped\nthreads: locked\n"
                  "early library: locked\nlate library: locked\nsum 33332500000\n");
        EXPECT_EQ(result.status, 0);
        const coverage::InstrData data = counted();
        EXPECT_TRUE(data.counts_exact);
        EXPECT_EQ(entry_of(data, "work").count, 5u * 200000);
        EXPECT_EQ(calls_of(data, "work"), 5u * 200000);
        EXPECT_EQ(calls_of(data, "hammer"), 5u);
        // i % 3 == 0 for 66667 of each thread's 200000 values, whichever
        // way the compiler put the branch.
        const auto branches = branches_of(data, "work");
        ASSERT_EQ(branches.size(), 1u);
        EXPECT_EQ(std::min(branches[0].first, branches[0].second), 5u * 66667);
        EXPECT_EQ(std::max(branches[0].first, branches[0].second), 5u * 133333);
    }
}

// (A library is built without -no-pie, which only executables take.)
INSTANTIATE_TEST_SUITE_P(Builds, LockPrefixes, ::testing::Values("-O0", "-O2 -no-pie"),
                         [](const auto& info) { return flags_name(info.param); });

}  // namespace
