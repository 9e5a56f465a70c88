// A file replaced in place is put back from its saved original only when the
// file may be written; otherwise it is left as it is, with a word.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;

namespace {

using namespace ryn_test;

using RestoreOriginals = cache_test::CacheFixture;

TEST_F(RestoreOriginals, ReadOnlyTargetIsRefusedUnchanged) {
    open_cache();
    // What the instrumentation phase does to a file it replaces in place.
    Target* t = add(prog, false, true);
    write_file(t->original_name, read_file(prog));
    write_file(prog, "instrumented");
    t->replaced = true;
    // In a directory anyone may write to, only the file's own mode can stop it.
    ASSERT_EQ(chmod(prog.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    driver->util().verbose = true;
    // Root may write any file, so judge as an ordinary user in a child.
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && setuid(65534) != 0) {
                exit(3);
            }
            exit(driver->util().replace_target_with_orig(t) ? 4 : 0);
        },
        ::testing::ExitedWithCode(0),
        "^ryn \\(info\\): Will not analyze " + prog + ": Not instrumented.\n\n$");
    EXPECT_EQ(read_file(prog), "instrumented");
}

}  // namespace
