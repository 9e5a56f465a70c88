// A program that locks correctly runs under the thread checker exactly as it
// runs alone, however much it locks; and the memory checker's data-race mode
// makes a copy that loads the thread checker by itself.
#include <gtest/gtest.h>

#include "support/vek_programs.h"

using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

// Nested locks always in one order, readers and writers, condition waits,
// recursive and error-checking mutexes, spinlocks, trylocks that fail under
// contention, locks inside heap blocks freed after use, and a fork.
const std::string k_busy = R"(#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#define THREADS 4
#define ROUNDS 20000
static pthread_mutex_t outer = PTHREAD_MUTEX_INITIALIZER, inner[4];
static pthread_rwlock_t table = PTHREAD_RWLOCK_INITIALIZER;
static pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queue_ready = PTHREAD_COND_INITIALIZER;
static pthread_spinlock_t spin;
static pthread_mutex_t recursive, checking;
static long total, queued, taken, tries_failed;
static void *work(void *arg) {
    long id = (long)arg;
    for (int i = 0; i < ROUNDS; ++i) {
        pthread_mutex_lock(&outer);
        pthread_mutex_lock(&inner[(i + id) % 4]);
        ++total;
        pthread_mutex_unlock(&inner[(i + id) % 4]);
        pthread_mutex_unlock(&outer);
        if (i % 16 == 0) {
            pthread_rwlock_wrlock(&table);
            pthread_spin_lock(&spin);
            pthread_spin_unlock(&spin);
            pthread_rwlock_unlock(&table);
        } else {
            pthread_rwlock_rdlock(&table);
            pthread_rwlock_rdlock(&table);
            pthread_rwlock_unlock(&table);
            pthread_rwlock_unlock(&table);
        }
        if (pthread_mutex_trylock(&outer) == 0)
            pthread_mutex_unlock(&outer);
        else
            __atomic_add_fetch(&tries_failed, 1, __ATOMIC_RELAXED);
        pthread_mutex_lock(&recursive);
        pthread_mutex_lock(&recursive);
        pthread_mutex_unlock(&recursive);
        pthread_mutex_unlock(&recursive);
        struct { pthread_mutex_t guard; long value; } *cell = malloc(sizeof *cell);
        pthread_mutex_init(&cell->guard, NULL);
        pthread_mutex_lock(&cell->guard);
        cell->value = i;
        pthread_mutex_unlock(&cell->guard);
        pthread_mutex_destroy(&cell->guard);
        free(cell);
    }
    pthread_mutex_lock(&queue_lock);
    ++queued;
    pthread_cond_broadcast(&queue_ready);
    while (queued < THREADS)
        pthread_cond_wait(&queue_ready, &queue_lock);
    pthread_mutex_unlock(&queue_lock);
    return NULL;
}
int main(void) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&recursive, &attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&checking, &attr);
    for (int i = 0; i < 4; ++i)
        pthread_mutex_init(&inner[i], NULL);
    pthread_spin_init(&spin, PTHREAD_PROCESS_PRIVATE);
    printf("start\n");
    pthread_t t[THREADS];
    for (long i = 0; i < THREADS; ++i)
        pthread_create(&t[i], NULL, work, (void *)i);
    pthread_mutex_lock(&queue_lock);
    struct timespec soon;
    clock_gettime(CLOCK_REALTIME, &soon);
    soon.tv_nsec = 0;
    soon.tv_sec += 1;
    while (queued < THREADS && pthread_cond_timedwait(&queue_ready, &queue_lock, &soon) == 0)
        ++taken;
    pthread_mutex_unlock(&queue_lock);
    for (int i = 0; i < THREADS; ++i)
        pthread_join(t[i], NULL);
    /* An error-checking mutex refuses a second lock and a stray unlock by
     * itself; the program sees the same answers. */
    pthread_mutex_lock(&checking);
    int again = pthread_mutex_lock(&checking);
    pthread_mutex_unlock(&checking);
    void *block = malloc(100);
    errno = 1234;
    free(block);
    int kept = errno;
    pid_t child = fork();
    if (child == 0) {
        pthread_mutex_lock(&outer);
        pthread_mutex_lock(&inner[0]);
        pthread_mutex_unlock(&inner[0]);
        pthread_mutex_unlock(&outer);
        _exit(7);
    }
    int status = 0;
    waitpid(child, &status, 0);
    printf("total %ld again %s errno %d child %d\n", total, again == EDEADLK ? "EDEADLK" : "other", kept,
           WEXITSTATUS(status));
    fprintf(stderr, "the program's own line\n");
    return 3;
}
)";

TEST(VekRun, CorrectLockingRunsAsAloneAndReportsNothing) {
    TempDir dir;
    const std::string checked = ryn_vek::build_checked(dir.path(), "busy", k_busy);
    ASSERT_FALSE(checked.empty());
    const std::string alone = dir / "alone";
    ASSERT_TRUE(ryn_test::compile_c(k_busy, alone, "-pthread"));

    const RunResult expected = ryn_vek::run_limited(alone);
    ASSERT_EQ(expected.status, 3) << expected.err;
    ASSERT_EQ(expected.out, "start\ntotal 80000 again EDEADLK errno 1234 child 7\n");
    const RunResult result = ryn_vek::run_limited(checked);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, expected.out);
    EXPECT_EQ(result.err, expected.err);
}

TEST(VekRun, DataRaceModeCopyLoadsTheCheckerItself) {
    TempDir dir;
    const std::string source = R"(#include <pthread.h>
static pthread_mutex_t a = PTHREAD_MUTEX_INITIALIZER, b = PTHREAD_MUTEX_INITIALIZER;
int main(void) {
    pthread_mutex_lock(&a);
    pthread_mutex_lock(&b);
    pthread_mutex_unlock(&b);
    pthread_mutex_unlock(&a);
    pthread_mutex_lock(&b);
    pthread_mutex_lock(&a); /* closing */
    pthread_mutex_unlock(&a);
    pthread_mutex_unlock(&b);
    return 0;
}
)";
    const std::string program = dir / "prog";
    ASSERT_TRUE(ryn_test::compile_c(source, program, "-pthread " + ryn_test::kalnote_object()));
    const std::string copy = dir / "prog.checked";
    const RunResult made =
        ryn_test::run({ryn_test::stage_bin("memvex"), "-i", "datarace", "-o", copy, program},
                      {"HOME=" + dir.path(), "QVEN_RYN_CACHE_DIR=" + dir / "cache"}, dir.path());
    ASSERT_EQ(made.status, 0) << made.err;

    // The program alone is silent; its copy reports the two orders.
    EXPECT_EQ(ryn_vek::run_limited(program).err, "");
    const RunResult result = ryn_vek::run_limited(copy);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(ryn_vek::count_errors(result.err, "lock-order-inversion"), 1) << result.err;
    EXPECT_TRUE(ryn_vek::frame_is_at(ryn_vek::first_frame_after(result.err, "lock-order-inversion"), "prog.c",
                                     ryn_vek::line_of(source, "/* closing */")))
        << result.err;
}

}  // namespace
