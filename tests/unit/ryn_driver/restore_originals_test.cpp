// Files replaced in place by instrumented copies are put back from their saved
// originals, also when a fatal error ends the run.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "support/test_support.h"

namespace {

using namespace ryn_test;

constexpr uid_t k_nobody = 65534;

class RestoreOriginals : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("one"), dir / "one"));
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("two"), dir / "two"));
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("three"),
                              dir / "three"));
        driver.cache = std::make_unique<RynCache>((dir / "cache").c_str(), false, "count", false,
                                                  driver.util.get(), &driver);
    }

    Target* add(const std::string& name) {
        return driver.cache->add_target(false, (dir / name).c_str(), nullptr, false, false,
                                        true, true);
    }

    // What the instrumentation phase does to a file it replaces in place.
    std::string replace_in_place(Target* t) {
        const std::string original = read_file(t->name);
        write_file(t->original_name, original);
        write_file(t->name, original + "instrumented");
        t->replaced = true;
        return original;
    }

    TempDir dir;
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
    RynDriver driver{"ryn", 4, RynDriver::PrepareOnly{}};
};

TEST_F(RestoreOriginals, FatalErrorPutsBackEveryReplacedFile) {
    Target* one = add("one");
    Target* two = add("two");
    Target* three = add("three");
    const std::string one_bytes = replace_in_place(one);
    const std::string two_bytes = replace_in_place(two);
    // Saved but never replaced: left as it is.
    write_file(three->original_name, read_file(three->name));
    write_file(three->name, "left alone");
    driver.util->verbose = true;

    EXPECT_EXIT(driver.util->fatal(0, "stop"), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): stop\n(ryn \\(info\\): Replacing [^\n]* with the original "
                "noninstrumented file.\n){2}$");

    EXPECT_EQ(read_file(one->name), one_bytes);
    EXPECT_EQ(read_file(two->name), two_bytes);
    EXPECT_EQ(read_file(three->name), "left alone");
    EXPECT_TRUE(exists(one->original_name));
}

TEST_F(RestoreOriginals, RemovesTheSavedOriginalWhenAsked) {
    Target* one = add("one");
    const std::string bytes = replace_in_place(one);
    driver.util->remove_instrumented = true;
    EXPECT_TRUE(driver.util->replace_target_with_orig(one));
    EXPECT_EQ(read_file(one->name), bytes);
    EXPECT_FALSE(exists(one->original_name));
    // Restoring leaves the flag set.
    EXPECT_TRUE(one->replaced);
}

TEST_F(RestoreOriginals, WithoutSavedOriginalTheFileStays) {
    Target* one = add("one");
    write_file(one->name, "changed");
    EXPECT_TRUE(driver.util->replace_target_with_orig(one));
    EXPECT_EQ(read_file(one->name), "changed");
}

TEST_F(RestoreOriginals, ReadOnlyTargetIsRefusedUnchanged) {
    Target* one = add("one");
    replace_in_place(one);
    const std::string before = read_file(one->name);
    driver.util->verbose = true;
    ASSERT_EQ(chmod(one->name.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    // Root may write any file, so judge as an ordinary user in a child.
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && setuid(k_nobody) != 0) {
                exit(3);
            }
            exit(driver.util->replace_target_with_orig(one) ? 4 : 0);
        },
        ::testing::ExitedWithCode(0),
        "^ryn \\(info\\): Will not analyze " + one->name + ": Not instrumented.\n\n$");
    EXPECT_EQ(read_file(one->name), before);
}

}  // namespace
