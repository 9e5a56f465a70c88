// Files replaced in place by instrumented copies are put back from their saved
// originals, also when a fatal error ends the run.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;

namespace {

using namespace ryn_test;

class RestoreOriginals : public cache_test::CacheFixture {
protected:
    // What the instrumentation phase does to a file it replaces in place.
    Target* replace_in_place(const std::string& path) {
        Target* t = add(path, false, true);
        write_file(t->original_name, read_file(path));
        write_file(path, "instrumented");
        t->replaced = true;
        return t;
    }
};

TEST_F(RestoreOriginals, FatalErrorPutsBackEveryReplacedFile) {
    open_cache();
    const Target* replaced[] = {replace_in_place(prog), replace_in_place(library("a"))};
    driver->util().verbose = true;
    EXPECT_EXIT(driver->util().fatal(0, "stop"), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): stop\n(ryn \\(info\\): Replacing [^\n]* with the original "
                "noninstrumented file.\n){2}$");
    for (const Target* t : replaced) {
        EXPECT_EQ(read_file(t->name), read_file(t->original_name));
    }
}

TEST_F(RestoreOriginals, ReadOnlyTargetIsRefusedUnchanged) {
    open_cache();
    Target* t = replace_in_place(prog);
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
