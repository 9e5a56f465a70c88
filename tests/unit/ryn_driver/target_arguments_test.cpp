// The target on the general front end's command line, and the memory
// checker's "-c" lists.
#include <gtest/gtest.h>

#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

TEST(TargetArguments, CheckFilePartIsCutAndEverythingAfterTheTargetIsItsOwn) {
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    Argv argv({"ryn", "collect", "/proc/self/exe:opts:more", "x", "-v", "-Q"});
    d.process_options(argv.argc(), argv.get());
    EXPECT_EQ(d.target_path, "/proc/self/exe");
    EXPECT_EQ(d.check_file_spec, "opts:more");
    EXPECT_STREQ(argv.get()[2], "/proc/self/exe");
    EXPECT_EQ(d.target_args.sprint(), "x -v -Q");
    EXPECT_FALSE(d.verbose);
    EXPECT_EQ(d.target_is_shared, 0);
}

TEST(TargetArguments, CheckListNamesLibrariesDirectlyOrThroughAListFile) {
    const ryn_test::TempDir tmp;
    const std::string lib = tmp / "libreal.so";
    ASSERT_TRUE(ryn_test::compile_c("int g(void) { return 2; }\n", lib, "-shared -fPIC"));
    ryn_test::write_file(tmp / "list", "libA.so\n\nlibB.so \t\n   \n  libC.so\n" +
                                           std::string(1100, 'L') + "\n");
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    d.process_minus_c_flag((tmp / "list").c_str());
    d.process_minus_c_flag("libmissing.so");
    d.process_minus_c_flag(lib.c_str());
    // A line longer than the reading buffer arrives in pieces.
    EXPECT_EQ(d.memvex_check_list.sprint(), "libA.so libB.so   libC.so " +
                                                std::string(1023, 'L') + " " +
                                                std::string(77, 'L') + " libmissing.so " + lib);

    // The same shared-object test tells a library target from a program.
    RynDriver shared("ryn", k_known_lav, RynDriver::PrepareOnly{});
    parse(shared, {"ryn", "collect", lib});
    EXPECT_EQ(shared.target_is_shared, 1);
}

}  // namespace
