// The thread checker reports a lock released by a thread that does not hold
// it, destroyed or freed while held, or held by a thread that ends; each
// report shows the program's call and, for a held lock, where it was taken.
#include <gtest/gtest.h>

#include "support/vek_programs.h"

using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

const std::string k_misuse = R"(#include <pthread.h>
#include <stdlib.h>
#include <string.h>
static pthread_mutex_t lone = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t other = PTHREAD_MUTEX_INITIALIZER;
static pthread_rwlock_t shared = PTHREAD_RWLOCK_INITIALIZER;
static void *take_and_return(void *arg) {
    pthread_mutex_lock(&lone); /* returner takes */
    return arg;
}
static void *take_and_exit(void *arg) {
    pthread_rwlock_rdlock(&shared); /* exiter takes */
    pthread_exit(arg);
}
static void *take_and_leave(void *arg) {
    pthread_mutex_lock(&other);
    pthread_mutex_unlock(&other);
    return arg;
}
int main(int argc, char **argv) {
    (void)argc;
    const char *what = argv[1];
    if (strcmp(what, "unlock") == 0) {
        for (int i = 0; i < 3; ++i)
            pthread_mutex_unlock(&lone); /* stray unlock */
        pthread_rwlock_rdlock(&shared);
        pthread_rwlock_unlock(&shared);
        pthread_rwlock_unlock(&shared); /* second unlock */
    } else if (strcmp(what, "destroy") == 0) {
        pthread_mutex_t local;
        pthread_mutex_init(&local, NULL);
        pthread_mutex_lock(&local); /* destroy takes */
        pthread_mutex_destroy(&local); /* destroyed */
        pthread_mutex_unlock(&local);
        pthread_mutex_destroy(&local);
    } else if (strcmp(what, "free") == 0) {
        struct { char name[24]; pthread_mutex_t guard; } *record = malloc(sizeof *record);
        pthread_mutex_init(&record->guard, NULL);
        pthread_mutex_lock(&record->guard); /* free takes */
        free(record); /* freed */
        char *plain = malloc(64);
        free(plain);
    } else if (strcmp(what, "exit") == 0) {
        pthread_t t;
        pthread_create(&t, NULL, take_and_return, NULL);
        pthread_join(t, NULL);
        pthread_create(&t, NULL, take_and_exit, NULL);
        pthread_join(t, NULL);
        pthread_create(&t, NULL, take_and_leave, NULL);
        pthread_join(t, NULL);
    }
    return 0;
}
)";

class VekLockMisuse : public ::testing::Test {
protected:
    void SetUp() override {
        program = ryn_vek::build_checked(dir.path(), "misuse", k_misuse);
        ASSERT_FALSE(program.empty());
    }

    // The report of a run, which must end normally with the program's status.
    std::string report_of(const std::string& scenario) {
        const RunResult result = ryn_vek::run_limited(program, scenario);
        EXPECT_EQ(result.status, 0) << result.err;
        return result.err;
    }

    bool frame_at(const std::string& frame, const std::string& marker) {
        return ryn_vek::frame_is_at(frame, "misuse.c", ryn_vek::line_of(k_misuse, marker));
    }

    TempDir dir;
    std::string program;
};

TEST_F(VekLockMisuse, UnlockOfALockNotHeldIsReportedOncePerPlace) {
    const std::string err = report_of("unlock");
    EXPECT_EQ(ryn_vek::count_errors(err, "unlock-not-held"), 2) << err;
    EXPECT_NE(err.find("vek: error: unlock-not-held: mutex 0x"), std::string::npos) << err;
    EXPECT_NE(err.find("which does not hold it"), std::string::npos) << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "unlock-not-held: mutex"), "/* stray unlock */")) << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "unlock-not-held: rwlock"), "/* second unlock */"))
        << err;
    EXPECT_NE(err.find("vek: summary: 2 errors (unlock-not-held 2), 0 suppressed\n"), std::string::npos) << err;
}

TEST_F(VekLockMisuse, DestroyOfAHeldLockShowsWhereItWasTaken) {
    const std::string err = report_of("destroy");
    EXPECT_EQ(ryn_vek::count_errors(err, "destroy-held-lock"), 1) << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "destroy-held-lock: mutex"), "/* destroyed */")) << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "  acquired at:"), "/* destroy takes */")) << err;
    // The unlock that follows the refused destroy is a correct one.
    EXPECT_EQ(ryn_vek::count_errors(err, "unlock-not-held"), 0) << err;
}

TEST_F(VekLockMisuse, FreeOfMemoryHoldingAHeldLockIsReported) {
    const std::string err = report_of("free");
    EXPECT_EQ(ryn_vek::count_errors(err, "free-held-lock"), 1) << err;
    EXPECT_NE(err.find("being freed"), std::string::npos) << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "free-held-lock: mutex"), "/* freed */")) << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "  acquired at:"), "/* free takes */")) << err;
}

TEST_F(VekLockMisuse, ThreadsEndingWithLocksHeldAreReportedWhereTheyTookThem) {
    const std::string err = report_of("exit");
    // By return and by pthread_exit; the thread that let go is fine.
    EXPECT_EQ(ryn_vek::count_errors(err, "exit-holding-lock"), 2) << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "exit-holding-lock: mutex"), "/* returner takes */"))
        << err;
    EXPECT_TRUE(frame_at(ryn_vek::first_frame_after(err, "exit-holding-lock: rwlock"), "/* exiter takes */"))
        << err;
    EXPECT_NE(err.find("when it ended"), std::string::npos) << err;
}

}  // namespace
