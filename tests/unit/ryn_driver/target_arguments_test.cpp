// The target on the general front end's command line: its check-file part,
// its own arguments, its kind, and the memory checker's "-c" lists.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

using ryn_test::TempDir;

std::unique_ptr<RynDriver> make_driver() {
    return std::make_unique<RynDriver>("ryn", k_known_lav, RynDriver::PrepareOnly{});
}

TEST(TargetArguments, CheckFilePartIsCutAndEverythingAfterTheTargetIsItsOwn) {
    auto d = make_driver();
    Argv argv({"ryn", "collect", "/proc/self/exe:opts:more", "x", "-v", "-Q", "y"});
    d->process_options(argv.argc(), argv.get());
    EXPECT_EQ(d->target_path, "/proc/self/exe");
    EXPECT_EQ(d->check_file_spec, "opts:more");
    EXPECT_STREQ(argv.get()[2], "/proc/self/exe") << "argv names the target without its part";
    EXPECT_EQ(d->target_args.sprint(), "x -v -Q y");
    EXPECT_FALSE(d->verbose);
    EXPECT_EQ(d->target_is_shared, 0) << "a program is no shared object";
}

TEST(TargetArguments, SharedObjectTargetsAreRecognisedUnlessTheKindWasGiven) {
    const TempDir tmp;
    const std::string lib = tmp / "libt.so";
    ASSERT_TRUE(ryn_test::compile_c("int f(void) { return 1; }\n", lib, "-shared -fPIC"));

    auto found = make_driver();
    parse(*found, {"ryn", "collect", lib});
    EXPECT_EQ(found->target_is_shared, 1);
    EXPECT_FALSE(found->check_file_spec);

    auto given = make_driver();
    parse(*given, {"ryn", "collect", "-U", "name", lib});
    EXPECT_EQ(given->target_is_shared, 0);
}

TEST(TargetArguments, CheckListNamesLibrariesDirectlyOrThroughAListFile) {
    const TempDir tmp;
    const std::string list = tmp / "list";
    ryn_test::write_file(list, "libA.so\n\nlibB.so  \t\n   \n  libC.so\n" +
                                   std::string(1100, 'L') + "\n");
    const std::string lib = tmp / "libreal.so";
    ASSERT_TRUE(ryn_test::compile_c("int g(void) { return 2; }\n", lib, "-shared -fPIC"));

    auto d = make_driver();
    d->process_minus_c_flag(list.c_str());
    ASSERT_EQ(d->memvex_check_list.count, 5);
    EXPECT_STREQ(d->memvex_check_list[0], "libA.so");
    EXPECT_STREQ(d->memvex_check_list[1], "libB.so");
    EXPECT_STREQ(d->memvex_check_list[2], "  libC.so") << "leading blanks stay";
    // A line longer than the reading buffer arrives in pieces.
    EXPECT_EQ(std::string(d->memvex_check_list[3]), std::string(1023, 'L'));
    EXPECT_EQ(std::string(d->memvex_check_list[4]), std::string(77, 'L'));

    auto e = make_driver();
    e->process_minus_c_flag("libmissing.so");
    e->process_minus_c_flag(lib.c_str());
    EXPECT_EQ(e->memvex_check_list.sprint(), "libmissing.so " + lib);
}

}  // namespace
