// The heap checker's runtime under what real programs do: threads that
// allocate and free at once, and fork.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/memvex_support.h"

namespace {

using ryn_test::error_kinds;
using ryn_test::RunResult;

// Every entry of the C interface keeps its contract: alignment, sizes,
// contents across realloc, error codes, errno kept by free.
const std::string k_interface_source = R"(#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static int failures;
#define CHECK(c) do { if (!(c)) { printf("failed: %s\n", #c); ++failures; } } while (0)
#define ALIGNED(p, a) (((uintptr_t)(p) % (a)) == 0)
int main(void) {
    long page = sysconf(_SC_PAGESIZE);
    void* p = NULL;
    CHECK(posix_memalign(&p, 256, 100) == 0 && ALIGNED(p, 256));
    CHECK(malloc_usable_size(p) == 100);
    free(p);
    CHECK(posix_memalign(&p, 24, 100) == EINVAL);
    void* a = aligned_alloc(4096, 10);
    CHECK(ALIGNED(a, 4096));
    void* m = memalign(48, 10);
    CHECK(ALIGNED(m, 64));
    void* v = valloc(10);
    CHECK(ALIGNED(v, page));
    void* pv = pvalloc(10);
    CHECK(ALIGNED(pv, page) && malloc_usable_size(pv) == (size_t)page);
    char* r = malloc(5);
    memcpy(r, "abcd", 5);
    r = realloc(r, 4000);
    CHECK(strcmp(r, "abcd") == 0 && ALIGNED(r, 16));
    r = reallocarray(r, 2, 3);
    CHECK(memcmp(r, "abcd", 5) == 0);
    errno = 0;
    CHECK(reallocarray(r, SIZE_MAX, 2) == NULL && errno == ENOMEM);
    CHECK(malloc(SIZE_MAX - 8) == NULL);
    CHECK(calloc(SIZE_MAX / 2, 4) == NULL);
    void* zero = malloc(0);
    CHECK(zero != NULL && malloc_usable_size(zero) == 0);
    errno = 1234;
    free(zero);
    free(NULL);
    CHECK(errno == 1234);
    CHECK(realloc(malloc(8), 0) == NULL);
    free(r); free(a); free(m); free(v); free(pv);
    printf("failures %d\n", failures);
    return 0;
}
)";

TEST(MemvexRuntime, TheCInterfaceKeepsItsContract) {
    ryn_test::TempDir dir;
    ASSERT_TRUE(ryn_test::build_checked(k_interface_source, dir / "prog"));
    const RunResult r = ryn_test::run({dir / "prog"});
    EXPECT_EQ(r.out, "failures 0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// Threads allocate and free across each other; then pairs of threads race to
// free the same blocks, where exactly one free of each may succeed.
const std::string k_threads_source = R"(#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#define THREADS 8
#define SLOTS 1024
#define RACED 200
static _Atomic(char*) slots[SLOTS];
static char* raced[RACED];
static pthread_barrier_t barrier;
static void* churn(void* arg) {
    unsigned seed = (unsigned)(size_t)arg;
    for (int i = 0; i < 20000; ++i) {
        size_t size = 1 + rand_r(&seed) % 300;
        char* fresh = malloc(size);
        fresh[0] = fresh[size - 1] = 1;
        char* old = atomic_exchange(&slots[rand_r(&seed) % SLOTS], fresh);
        free(old);
    }
    pthread_barrier_wait(&barrier);
    for (int i = 0; i < RACED; ++i) free(raced[i]);
    return NULL;
}
int main(void) {
    for (int i = 0; i < RACED; ++i) raced[i] = malloc(32);
    pthread_barrier_init(&barrier, NULL, THREADS);
    pthread_t threads[THREADS];
    for (size_t t = 0; t < THREADS; ++t) pthread_create(&threads[t], NULL, churn, (void*)t);
    for (int t = 0; t < THREADS; ++t) pthread_join(threads[t], NULL);
    for (int i = 0; i < SLOTS; ++i) free(slots[i]);
    puts("joined");
    return 0;
}
)";

TEST(MemvexRuntime, ThreadsHammeringTheHeapLoseNoBlockAndRaceNoFreeTwice) {
    ryn_test::TempDir dir;
    ASSERT_TRUE(ryn_test::build_checked(k_threads_source, dir / "prog"));
    // Errors are only counted: the summary tells how many double frees there were.
    ryn_test::embed_settings(dir / "prog", dir / "copy", {"12 0"});
    const RunResult r = ryn_test::run({dir / "copy"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "joined\n");
    // 8 threads free each of 200 blocks: one free succeeds, seven are double.
    EXPECT_TRUE(
        r.err.starts_with("memvex: summary: 1400 errors (double-free 1400), 0 suppressed; "
                          "leaked 0 bytes in 0 blocks; still reachable "))
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// Each process makes an error and a leak of its own. The leak is made in a
// function of its own and its frame scrubbed, so that no stale copy of the
// pointer stays on the stack.
const std::string k_fork_source = R"(#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
static char not_heap[16];
static void leak(size_t size) { void* volatile p = malloc(size); p = NULL; }
static void scrub(void) { volatile char junk[8192]; memset((char*)junk, 0, sizeof junk); }
int main(void) {
    char* p = malloc(8);
    pid_t pid = fork();
    leak(pid == 0 ? 17 : 19);
    scrub();
    if (pid == 0) {
        free(p);
        free(p);
        exit(0);
    }
    waitpid(pid, NULL, 0);
    free(not_heap);
    free(p);
    return 0;
}
)";

TEST(MemvexRuntime, TheForkSettingChoosesWhichProcessesReport) {
    ryn_test::TempDir dir;
    ASSERT_TRUE(ryn_test::build_checked(k_fork_source, dir / "prog"));
    struct Case {
        std::string mode;
        std::vector<std::string> kinds;
        size_t summaries;
    };
    const std::vector<Case> cases = {
        {"parent", {"invalid-free", "leak"}, 1},
        {"child", {"double-free", "leak"}, 1},
        {"both", {"double-free", "leak", "invalid-free", "leak"}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ryn_test::embed_settings(dir / "prog", dir / ("copy_" + c.mode),
                                 {"33 " + c.mode, "17 report_" + c.mode});
        const RunResult r = ryn_test::run({dir / ("copy_" + c.mode)}, {}, dir.path());
        // Both processes write to the one text file without emptying it.
        EXPECT_EQ(ryn_test::read_file(dir / ("report_" + c.mode)), r.err);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(error_kinds(r.err), c.kinds) << r.err;
        // Each process scans and counts only its own.
        EXPECT_EQ(r.err.find("leak: 17 bytes") != std::string::npos, c.mode != "parent") << r.err;
        EXPECT_EQ(r.err.find("leak: 19 bytes") != std::string::npos, c.mode != "child") << r.err;
        size_t summaries = 0;
        for (size_t at = r.err.find("memvex: summary: 2 errors"); at != std::string::npos;
             at = r.err.find("memvex: summary: 2 errors", at + 1))
            ++summaries;
        EXPECT_EQ(summaries, c.summaries) << r.err;
    }
}

}  // namespace
