// The thread checker reports a lock released by a thread that does not hold
// it, destroyed or freed while held, or held by a thread that ends; each
// report shows the program's call and, for a held lock, where it was taken.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

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

TEST(VekLockMisuse, EachMisuseIsReportedAtTheCallAndWhereTheLockWasTaken) {
    TempDir dir;
    const std::string program = ryn_vek::build_checked(dir.path(), "misuse", k_misuse);
    ASSERT_FALSE(program.empty());
    struct Case {
        std::string scenario, kind;
        int count;
        std::vector<std::pair<std::string, std::string>> frames;  // heading, marker of its frame #0
        std::string text;
    };
    const std::vector<Case> cases = {
        // Reported once per place, however often it happens there.
        {"unlock",
         "unlock-not-held",
         2,
         {{"unlock-not-held: mutex 0x", "/* stray unlock */"},
          {"unlock-not-held: rwlock", "/* second unlock */"}},
         "which does not hold it"},
        // The unlock that follows the refused destroy is a correct one.
        {"destroy",
         "destroy-held-lock",
         1,
         {{"destroy-held-lock: mutex", "/* destroyed */"},
          {"  acquired at:", "/* destroy takes */"}},
         ""},
        {"free",
         "free-held-lock",
         1,
         {{"free-held-lock: mutex", "/* freed */"}, {"  acquired at:", "/* free takes */"}},
         "being freed"},
        // By return and by pthread_exit; the thread that let go is fine.
        {"exit",
         "exit-holding-lock",
         2,
         {{"exit-holding-lock: mutex", "/* returner takes */"},
          {"exit-holding-lock: rwlock", "/* exiter takes */"}},
         "when it ended"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        const RunResult result = ryn_vek::run_limited(program, c.scenario);
        const std::string& err = result.err;
        EXPECT_EQ(result.status, 0) << err;
        EXPECT_EQ(ryn_vek::count_errors(err, c.kind), c.count) << err;
        const std::string n = std::to_string(c.count);
        EXPECT_NE(
            err.find("vek: summary: " + n + " errors (" + c.kind + " " + n + "), 0 suppressed\n"),
            std::string::npos)
            << err;
        for (const auto& [heading, marker] : c.frames)
            EXPECT_TRUE(ryn_vek::frame_is_at(ryn_vek::first_frame_after(err, heading), "misuse.c",
                                             ryn_vek::line_of(k_misuse, marker)))
                << heading << "\n"
                << err;
        EXPECT_NE(err.find(c.text), std::string::npos) << err;
    }
}

}  // namespace
