// The thread checker reports a lock released by a thread that does not hold
// it, destroyed or freed while held, or held by a thread that ends; each
// report shows the program's call and, for a held lock, where it was taken.
#include <gtest/gtest.h>

#include <vector>

#include "support/memvex_support.h"

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
    const std::string program = dir / "misuse";
    ASSERT_TRUE(ryn_test::build_checked(k_misuse, program, false, "", "libvek.so"));
    struct Entry {
        std::string lock;                 // the lock's kind, as the error line names it
        std::string call, acquired = "";  // the markers of the stacks' frames #0
    };
    struct Case {
        std::string scenario, kind, text;
        std::vector<Entry> entries;
    };
    const std::vector<Case> cases = {
        // Reported once per place, however often it happens there.
        {"unlock",
         "unlock-not-held",
         "which does not hold it",
         {{"mutex", "/* stray unlock */"}, {"rwlock", "/* second unlock */"}}},
        // The unlock that follows the refused destroy is a correct one.
        {"destroy", "destroy-held-lock", "", {{"mutex", "/* destroyed */", "/* destroy takes */"}}},
        {"free", "free-held-lock", "being freed", {{"mutex", "/* freed */", "/* free takes */"}}},
        // By return and by pthread_exit; the thread that let go is fine.
        {"exit",
         "exit-holding-lock",
         "when it ended",
         {{"mutex", "/* returner takes */"}, {"rwlock", "/* exiter takes */"}}},
    };
    const auto at = [](const std::string& marker) {
        return "misuse.c:" + std::to_string(ryn_test::line_of(k_misuse, marker));
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        const RunResult result = ryn_test::run({"timeout", "30", program, c.scenario});
        const std::string& err = result.err;
        EXPECT_EQ(result.status, 0) << err;
        const auto entries = ryn_test::report_entries(err);
        ASSERT_EQ(entries.size(), c.entries.size()) << err;
        const std::string n = std::to_string(c.entries.size());
        EXPECT_EQ(ryn_test::summary_line(err),
                  "vek: summary: " + n + " errors (" + c.kind + " " + n + "), 0 suppressed");
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& expected = c.entries[i];
            EXPECT_TRUE(
                entries[i].line.starts_with("vek: error: " + c.kind + ": " + expected.lock + " 0x"))
                << err;
            EXPECT_NE(entries[i].line.find(c.text), std::string::npos) << err;
            EXPECT_EQ(entries[i].top(), at(expected.call)) << err;
            if (!expected.acquired.empty()) {
                EXPECT_EQ(entries[i].top("acquired at:"), at(expected.acquired)) << err;
            }
        }
    }
}

}  // namespace
