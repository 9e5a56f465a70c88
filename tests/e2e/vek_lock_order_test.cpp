// The thread checker reports lock orders that can deadlock when the order
// closing a cycle first appears, with the stacks of both orders, once per
// cycle; orders that cannot wait (trylock) or whose lock is gone do not count.
// The run's settings shape the report and the exit status.
#include <gtest/gtest.h>

#include "support/vek_programs.h"

using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

// Two locks taken in both orders, one order after the other in one thread:
// no run can deadlock, yet the orders can.
const std::string k_two_mutexes = R"(#include <pthread.h>
#include <stdio.h>
static pthread_mutex_t first = PTHREAD_MUTEX_INITIALIZER, second = PTHREAD_MUTEX_INITIALIZER;
static void in_order(void) {
    pthread_mutex_lock(&first);
    pthread_mutex_lock(&second); /* in-order */
    pthread_mutex_unlock(&second);
    pthread_mutex_unlock(&first);
}
static void reversed(void) {
    pthread_mutex_lock(&second);
    pthread_mutex_lock(&first); /* reversed */
    pthread_mutex_unlock(&first);
    pthread_mutex_unlock(&second);
}
int main(void) {
    for (int i = 0; i < 3; ++i) {
        in_order();
        reversed();
    }
    printf("first %p second %p\n", (void *)&first, (void *)&second);
    return 0;
}
)";

TEST(VekLockOrder, TwoMutexesInBothOrdersAreReportedOnceWithBothStacks) {
    TempDir dir;
    const std::string program = ryn_vek::build_checked(dir.path(), "orders", k_two_mutexes);
    ASSERT_FALSE(program.empty());
    const RunResult result = ryn_vek::run_limited(program);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ryn_vek::count_errors(result.err, "lock-order-inversion"), 1) << result.err;

    // The program's own output names the locks, so the report can be held to them.
    char first[32], second[32];
    ASSERT_EQ(sscanf(result.out.c_str(), "first %31s second %31s", first, second), 2) << result.out;
    const std::string description =
        "mutex " + std::string(first) + " acquired while holding mutex " + second;
    EXPECT_NE(result.err.find("vek: error: lock-order-inversion: " + description),
              std::string::npos)
        << result.err;
    const std::string closing = ryn_vek::first_frame_after(result.err, "lock-order-inversion");
    EXPECT_TRUE(ryn_vek::frame_is_at(closing, "orders.c",
                                     ryn_vek::line_of(k_two_mutexes, "/* reversed */")))
        << result.err;
    const std::string earlier =
        ryn_vek::first_frame_after(result.err, "  acquired mutex " + std::string(second) +
                                                   " while holding mutex " + first + " at:");
    EXPECT_TRUE(ryn_vek::frame_is_at(earlier, "orders.c",
                                     ryn_vek::line_of(k_two_mutexes, "/* in-order */")))
        << result.err;
    EXPECT_NE(result.err.find("vek: summary: 1 errors (lock-order-inversion 1), 0 suppressed\n"),
              std::string::npos)
        << result.err;
}

// The run's settings reach the thread checker inside the main program's copy:
// the stack depth, the exit status of a run that found errors, and the kinds
// not to report.
class VekSettings : public ::testing::Test {
protected:
    void SetUp() override {
        program = ryn_vek::build_checked(dir.path(), "orders", k_two_mutexes);
        ASSERT_FALSE(program.empty());
    }

    // Runs a copy of the program carrying the run-information records given.
    RunResult run_with(const std::string& records) {
        const std::string info = dir / "info";
        const std::string copy = dir / "copy";
        ryn_test::write_file(info, records);
        const RunResult made =
            ryn_test::run({ryn_test::stage_lib("morphel"), "-ryn", "-xkalfix=instrument:./",
                           "-ryninfo=" + info, "-o", copy, program});
        EXPECT_EQ(made.status, 0) << made.err;
        return ryn_vek::run_limited(copy);
    }

    TempDir dir;
    std::string program;
};

TEST_F(VekSettings, ExitStatusReplacesACleanOneOnlyWhenErrorsWereReported) {
    const RunResult found = run_with("14 9\n");
    EXPECT_EQ(found.status, 9);
    // Output still buffered at exit is written before the status changes.
    EXPECT_TRUE(found.out.starts_with("first 0x")) << found.out;
    EXPECT_EQ(ryn_vek::count_errors(found.err, "lock-order-inversion"), 1) << found.err;

    // A suppressed kind is counted, not reported, and is no reason to fail.
    const RunResult suppressed = run_with("14 9\n27 unlock-not-held,lock-order-inversion\n");
    EXPECT_EQ(suppressed.status, 0);
    EXPECT_TRUE(suppressed.out.starts_with("first 0x")) << suppressed.out;
    EXPECT_EQ(suppressed.err, "vek: summary: 0 errors, 1 suppressed\n");
}

TEST_F(VekSettings, StackDepthLimitsEveryStack) {
    const RunResult result = run_with("10 1\n");
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(ryn_vek::count_errors(result.err, "lock-order-inversion"), 1) << result.err;
    EXPECT_EQ(result.err.find("    #1 "), std::string::npos) << result.err;
    // Frame #0 of both orders is the program's call, never the checker's.
    EXPECT_NE(ryn_vek::first_frame_after(result.err, "lock-order-inversion").find(" in reversed "),
              std::string::npos)
        << result.err;
    EXPECT_NE(ryn_vek::first_frame_after(result.err, "  acquired ").find(" in in_order "),
              std::string::npos)
        << result.err;
}

// Orders made by different threads, across a read-write lock and a mutex,
// and a cycle through three locks.
const std::string k_mixed = R"(#include <pthread.h>
#include <string.h>
static pthread_rwlock_t table = PTHREAD_RWLOCK_INITIALIZER;
static pthread_mutex_t entry = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t a = PTHREAD_MUTEX_INITIALIZER, b = PTHREAD_MUTEX_INITIALIZER,
                       c = PTHREAD_MUTEX_INITIALIZER, x = PTHREAD_MUTEX_INITIALIZER;
static void *reader(void *arg) {
    pthread_rwlock_rdlock(&table);
    pthread_mutex_lock(&entry);
    pthread_mutex_unlock(&entry);
    pthread_rwlock_unlock(&table);
    return arg;
}
static void *writer(void *arg) {
    pthread_mutex_lock(&entry);
    pthread_rwlock_wrlock(&table); /* writer */
    pthread_rwlock_unlock(&table);
    pthread_mutex_unlock(&entry);
    return arg;
}
static void pair(pthread_mutex_t *outer, pthread_mutex_t *inner) {
    pthread_mutex_lock(outer);
    pthread_mutex_lock(inner); /* pair */
    pthread_mutex_unlock(inner);
    pthread_mutex_unlock(outer);
}
int main(int argc, char **argv) {
    (void)argc;
    if (strcmp(argv[1], "rwlock") == 0) {
        pthread_t t;
        pthread_create(&t, NULL, reader, NULL);
        pthread_join(t, NULL);
        pthread_create(&t, NULL, writer, NULL);
        pthread_join(t, NULL);
    } else if (strcmp(argv[1], "cycle") == 0) {
        pair(&a, &b);
        pair(&b, &c);
        pair(&c, &a);
    } else {
        /* Each order goes to a lock met earlier than the one held, so the
         * checker must rearrange what it knows before the cycle closes. */
        pair(&c, &x);
        pair(&b, &c);
        pair(&a, &b);
        pair(&x, &a);
    }
    return 0;
}
)";

TEST(VekLockOrder, OrdersAcrossThreadsAndLockKindsAndLongerCyclesCount) {
    TempDir dir;
    const std::string program = ryn_vek::build_checked(dir.path(), "mixed", k_mixed);
    ASSERT_FALSE(program.empty());

    const RunResult rw = ryn_vek::run_limited(program, "rwlock");
    ASSERT_EQ(rw.status, 0) << rw.err;
    EXPECT_EQ(ryn_vek::count_errors(rw.err, "lock-order-inversion"), 1) << rw.err;
    EXPECT_NE(rw.err.find(": rwlock 0x"), std::string::npos) << rw.err;
    EXPECT_TRUE(ryn_vek::frame_is_at(ryn_vek::first_frame_after(rw.err, "lock-order-inversion"),
                                     "mixed.c", ryn_vek::line_of(k_mixed, "/* writer */")))
        << rw.err;
    EXPECT_NE(rw.err.find("  acquired mutex 0x"), std::string::npos) << rw.err;
    EXPECT_NE(rw.err.find(" while holding rwlock 0x"), std::string::npos) << rw.err;

    const RunResult cycle = ryn_vek::run_limited(program, "cycle");
    ASSERT_EQ(cycle.status, 0) << cycle.err;
    EXPECT_EQ(ryn_vek::count_errors(cycle.err, "lock-order-inversion"), 1) << cycle.err;
    EXPECT_NE(cycle.err.find("closes a cycle of 3 lock orders"), std::string::npos) << cycle.err;
    // The closing order, then the two earlier ones that lead back.
    size_t stacks = 0;
    for (size_t at = cycle.err.find("    #0 "); at != std::string::npos;
         at = cycle.err.find("    #0 ", at + 1))
        ++stacks;
    EXPECT_EQ(stacks, 3u) << cycle.err;

    const RunResult reordered = ryn_vek::run_limited(program, "reordered");
    ASSERT_EQ(reordered.status, 0) << reordered.err;
    EXPECT_EQ(ryn_vek::count_errors(reordered.err, "lock-order-inversion"), 1) << reordered.err;
    EXPECT_NE(reordered.err.find("closes a cycle of 4 lock orders"), std::string::npos)
        << reordered.err;
}

// A trylock never waits, so the orders it would make are none; the lock it
// takes is held all the same, and orders what is taken under it. A lock that
// was destroyed leaves the graph with every order it was part of.
const std::string k_not_orders = R"(#include <pthread.h>
#include <string.h>
static pthread_mutex_t a = PTHREAD_MUTEX_INITIALIZER, b = PTHREAD_MUTEX_INITIALIZER,
                       c = PTHREAD_MUTEX_INITIALIZER;
int main(int argc, char **argv) {
    (void)argc;
    pthread_mutex_lock(&a);
    pthread_mutex_lock(&b);
    pthread_mutex_unlock(&b);
    pthread_mutex_unlock(&a);
    if (strcmp(argv[1], "trylock") == 0) {
        pthread_mutex_lock(&b);
        if (pthread_mutex_trylock(&a) == 0)
            pthread_mutex_unlock(&a);
        pthread_mutex_unlock(&b);
    } else if (strcmp(argv[1], "held-by-trylock") == 0) {
        if (pthread_mutex_trylock(&c) == 0) {
            pthread_mutex_lock(&a);
            pthread_mutex_unlock(&a);
            pthread_mutex_unlock(&c);
        }
        pthread_mutex_lock(&a);
        pthread_mutex_lock(&c); /* under a */
        pthread_mutex_unlock(&c);
        pthread_mutex_unlock(&a);
    } else {
        /* A new lock in the old one's place, made without an init call. */
        pthread_mutex_destroy(&a);
        a = (pthread_mutex_t)PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&b);
        pthread_mutex_lock(&a);
        pthread_mutex_unlock(&a);
        pthread_mutex_unlock(&b);
    }
    return 0;
}
)";

TEST(VekLockOrder, TrylocksAndDestroyedLocksAddNoOrders) {
    TempDir dir;
    const std::string program = ryn_vek::build_checked(dir.path(), "not_orders", k_not_orders);
    ASSERT_FALSE(program.empty());

    for (const std::string scenario : {"trylock", "destroyed"}) {
        const RunResult silent = ryn_vek::run_limited(program, scenario);
        EXPECT_EQ(silent.status, 0) << scenario;
        EXPECT_EQ(silent.err, "") << scenario;
    }

    const RunResult held = ryn_vek::run_limited(program, "held-by-trylock");
    EXPECT_EQ(held.status, 0);
    EXPECT_EQ(ryn_vek::count_errors(held.err, "lock-order-inversion"), 1) << held.err;
    EXPECT_TRUE(ryn_vek::frame_is_at(ryn_vek::first_frame_after(held.err, "lock-order-inversion"),
                                     "not_orders.c",
                                     ryn_vek::line_of(k_not_orders, "/* under a */")))
        << held.err;
}

}  // namespace
