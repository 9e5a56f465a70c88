// The thread checker reports lock orders that can deadlock when the order
// closing a cycle first appears, with the stacks of both orders, once per
// cycle; orders that cannot wait (trylock) or whose lock is gone do not count.
// The run's settings shape the report and the exit status.
#include <gtest/gtest.h>

#include "support/memvex_support.h"

using ryn_test::entry_of;
using ryn_test::error_kinds;
using ryn_test::line_of;
using ryn_test::ReportEntry;
using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

const std::string k_vek = "libvek.so";

// A bounded run, so that a deadlock fails the test instead of hanging it.
RunResult run_limited(const std::string& program, const std::string& arg) {
    return ryn_test::run({"timeout", "30", program, arg});
}

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

// Orders made by different threads, across a read-write lock and a mutex,
// and cycles through three and four locks. A trylock never waits, so the
// orders it would make are none; the lock it takes is held all the same, and
// orders what is taken under it. A lock that was destroyed leaves the graph
// with every order it was part of.
const std::string k_graph = R"(#include <pthread.h>
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
    pthread_mutex_lock(inner);
    pthread_mutex_unlock(inner);
    pthread_mutex_unlock(outer);
}
int main(int argc, char **argv) {
    (void)argc;
    const char *what = argv[1];
    if (strcmp(what, "rwlock") == 0) {
        pthread_t t;
        pthread_create(&t, NULL, reader, NULL);
        pthread_join(t, NULL);
        pthread_create(&t, NULL, writer, NULL);
        pthread_join(t, NULL);
    } else if (strcmp(what, "cycle") == 0) {
        pair(&a, &b);
        pair(&b, &c);
        pair(&c, &a);
    } else if (strcmp(what, "reordered") == 0) {
        /* Each order goes to a lock met earlier than the one held, so the
         * checker must rearrange what it knows before the cycle closes. */
        pair(&c, &x);
        pair(&b, &c);
        pair(&a, &b);
        pair(&x, &a);
    } else if (strcmp(what, "trylock") == 0) {
        pair(&a, &b);
        pthread_mutex_lock(&b);
        if (pthread_mutex_trylock(&a) == 0)
            pthread_mutex_unlock(&a);
        pthread_mutex_unlock(&b);
    } else if (strcmp(what, "held-by-trylock") == 0) {
        if (pthread_mutex_trylock(&c) == 0) {
            pair(&a, &b);
            pthread_mutex_unlock(&c);
        }
        pthread_mutex_lock(&a);
        pthread_mutex_lock(&c); /* under a */
        pthread_mutex_unlock(&c);
        pthread_mutex_unlock(&a);
    } else {
        /* A new lock in the old one's place, made without an init call. */
        pair(&a, &b);
        pthread_mutex_destroy(&a);
        a = (pthread_mutex_t)PTHREAD_MUTEX_INITIALIZER;
        pair(&b, &a);
    }
    return 0;
}
)";

class VekLockOrder : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        ASSERT_TRUE(ryn_test::build_checked(k_two_mutexes, *dir_ / "orders", false, "", k_vek));
        ASSERT_TRUE(ryn_test::build_checked(k_graph, *dir_ / "graph", false, "", k_vek));
    }
    static void TearDownTestSuite() { delete dir_; }

    // Runs the program, or a copy of it carrying run-information records.
    static RunResult run(const std::vector<std::string>& records = {}) {
        return ryn_test::run_checked(*dir_ / "orders", {}, records);
    }

    static TempDir* dir_;
};
TempDir* VekLockOrder::dir_ = nullptr;

TEST_F(VekLockOrder, TwoMutexesInBothOrdersAreReportedOnceWithBothStacks) {
    const RunResult result = run();
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(error_kinds(result.err), std::vector<std::string>{"lock-order-inversion"})
        << result.err;

    // The program's own output names the locks, so the report can be held to them.
    char first[32], second[32];
    ASSERT_EQ(sscanf(result.out.c_str(), "first %31s second %31s", first, second), 2) << result.out;
    const ReportEntry entry = entry_of(result.err, "lock-order-inversion");
    EXPECT_TRUE(entry.line.starts_with("vek: error: lock-order-inversion: mutex " +
                                       std::string(first) + " acquired while holding mutex " +
                                       second))
        << result.err;
    EXPECT_EQ(entry.top(), "orders.c:" + std::to_string(line_of(k_two_mutexes, "/* reversed */")))
        << result.err;
    EXPECT_EQ(entry.top("acquired mutex " + std::string(second) + " while holding mutex " + first +
                        " at:"),
              "orders.c:" + std::to_string(line_of(k_two_mutexes, "/* in-order */")))
        << result.err;
    EXPECT_EQ(ryn_test::summary_line(result.err),
              "vek: summary: 1 errors (lock-order-inversion 1), 0 suppressed");
}

// The run's settings reach the thread checker inside the main program's copy:
// the exit status of a run that found errors, and the kinds not to report.
TEST_F(VekLockOrder, ExitStatusReplacesACleanOneOnlyWhenErrorsWereReported) {
    const RunResult found = run({"14 9"});
    EXPECT_EQ(found.status, 9);
    // Output still buffered at exit is written before the status changes.
    EXPECT_TRUE(found.out.starts_with("first 0x")) << found.out;
    EXPECT_EQ(error_kinds(found.err), std::vector<std::string>{"lock-order-inversion"})
        << found.err;

    // A suppressed kind is counted, not reported, and is no reason to fail.
    const RunResult suppressed = run({"14 9", "27 unlock-not-held,lock-order-inversion"});
    EXPECT_EQ(suppressed.status, 0);
    EXPECT_TRUE(suppressed.out.starts_with("first 0x")) << suppressed.out;
    EXPECT_EQ(suppressed.err, "vek: summary: 0 errors, 1 suppressed\n");
}

// With a depth of one, frame #0 of both orders is still the program's call,
// never the checker's.
TEST_F(VekLockOrder, StackDepthLimitsEveryStack) {
    const RunResult result = run({"10 1"});
    EXPECT_EQ(result.status, 0);
    const ReportEntry entry = entry_of(result.err, "lock-order-inversion");
    ASSERT_EQ(entry.stacks.size(), 2u) << result.err;
    for (const auto& [header, frames] : entry.stacks) {
        ASSERT_EQ(frames.size(), 1u) << result.err;
        EXPECT_NE(frames[0].find(header.empty() ? " in reversed " : " in in_order "),
                  std::string::npos)
            << result.err;
    }
}

TEST_F(VekLockOrder, OrdersAcrossThreadsAndLockKindsAndLongerCyclesCount) {
    const std::string program = *dir_ / "graph";
    const RunResult rw = run_limited(program, "rwlock");
    ASSERT_EQ(rw.status, 0) << rw.err;
    EXPECT_EQ(error_kinds(rw.err), std::vector<std::string>{"lock-order-inversion"}) << rw.err;
    EXPECT_NE(rw.err.find(": rwlock 0x"), std::string::npos) << rw.err;
    EXPECT_EQ(entry_of(rw.err, "lock-order-inversion").top(),
              "graph.c:" + std::to_string(line_of(k_graph, "/* writer */")))
        << rw.err;
    EXPECT_NE(rw.err.find("  acquired mutex 0x"), std::string::npos) << rw.err;
    EXPECT_NE(rw.err.find(" while holding rwlock 0x"), std::string::npos) << rw.err;

    const RunResult cycle = run_limited(program, "cycle");
    ASSERT_EQ(cycle.status, 0) << cycle.err;
    EXPECT_EQ(error_kinds(cycle.err), std::vector<std::string>{"lock-order-inversion"})
        << cycle.err;
    EXPECT_NE(cycle.err.find("closes a cycle of 3 lock orders"), std::string::npos) << cycle.err;
    // The closing order, then the two earlier ones that lead back.
    EXPECT_EQ(entry_of(cycle.err, "lock-order-inversion").stacks.size(), 3u) << cycle.err;

    const RunResult reordered = run_limited(program, "reordered");
    ASSERT_EQ(reordered.status, 0) << reordered.err;
    EXPECT_EQ(error_kinds(reordered.err), std::vector<std::string>{"lock-order-inversion"})
        << reordered.err;
    EXPECT_NE(reordered.err.find("closes a cycle of 4 lock orders"), std::string::npos)
        << reordered.err;
}

TEST_F(VekLockOrder, TrylocksAndDestroyedLocksAddNoOrders) {
    const std::string program = *dir_ / "graph";
    for (const std::string scenario : {"trylock", "destroyed"}) {
        const RunResult silent = run_limited(program, scenario);
        EXPECT_EQ(silent.status, 0) << scenario;
        EXPECT_EQ(silent.err, "") << scenario;
    }

    const RunResult held = run_limited(program, "held-by-trylock");
    EXPECT_EQ(held.status, 0);
    EXPECT_EQ(error_kinds(held.err), std::vector<std::string>{"lock-order-inversion"}) << held.err;
    EXPECT_EQ(entry_of(held.err, "lock-order-inversion").top(),
              "graph.c:" + std::to_string(line_of(k_graph, "/* under a */")))
        << held.err;
}

}  // namespace
