// What the memory checker's options set and record, the -c forms, the
// operand and the analyzer directory of -a. The values handed on unchanged
// (-S, -b, -E, -e, -F, -m, -f, -Wd,-z, -Wd,-a=) are checked in the
// run-information file they end up in.
#include <gtest/gtest.h>

#include <string>

#include "setup_fixture.h"

using namespace ryn;

using ryn_test::exists;
using setup_test::items;
using setup_test::Strings;

namespace {

TEST(MemvexOptions, SettingsAreStoredAndRecordedAsTyped) {
    const setup_test::SetupWorld w;
    ryn_test::write_file(w.cwd / "list", "libA.so\n\n   \t\nlibB.so  \t\n  libC.so:chk\nlibD.so");
    ASSERT_TRUE(
        ryn_test::compile_c("int f(void) { return 1; }\n", w.cwd / "libE.so", "-shared -fPIC"));
    // A blank in the path must not let the removal of old results reach "<cwd>/a".
    ASSERT_EQ(ryn_test::run_shell("mkdir -p 'a b/p.analyze/dynamic/old' a && touch 'a b/p' a/keep",
                                  w.cwd.path())
                  .status,
              0);
    const auto d = w.memvex({"-K",        "-k",
                             "-s",        "-S",
                             "12x",       "-i",
                             "memcheck",  "-Yo,/eng",
                             "-Wi,-a=1",  "-W",
                             "o,-a=1",    "-Wd,-u",
                             "-Wd,-c",    "-Wd,-B/au",
                             "-Wd,-P/rt", "-Wd,-a=/given",
                             "-a",        "-v",
                             "-v",        "-t",
                             "-c",        "libnone.so:file",
                             "-c",        "list:x",
                             "-c",        "libE.so",
                             "-c",        "-",
                             "a b/p:x:y"});
    const RynOptions& opts = d->options();
    const ToolArgs& tools = d->tool_args();
    const InstallLocations& loc = d->locations();
    EXPECT_EQ(items(tools.instrument_record),
              (Strings{"-K",      "-k",       "-s",          "-S",      "12x",
                       "-i",      "memcheck", "-Y",          "o,/eng",  "-W",
                       "i,-a=1",  "-W",       "o,-a=1",      "-W",      "d,-u",
                       "-W",      "d,-c",     "-W",          "d,-B/au", "-W",
                       "d,-P/rt", "-W",       "d,-a=/given", "-c",      "libnone.so:file",
                       "-c",      "list:x",   "-c",          "libE.so", "-c",
                       "-"}));
    EXPECT_EQ(items(opts.memvex.memvex_check_list),
              (Strings{"libnone.so", "libA.so", "libB.so", "  libC.so:chk", "libD.so", "libE.so"}));
    EXPECT_EQ(items(tools.engine_passthrough_args), (Strings{"-a=1", "-a=1"}));
    EXPECT_TRUE(opts.k_option && opts.skip_bad_libraries && opts.memvex.memvex_c_flag &&
                opts.verbose && opts.very_verbose && opts.tell_mode &&
                opts.memvex.check_all_libraries);
    EXPECT_FALSE(opts.read_rc_files || opts.memvex.data_race_mode || opts.memvex.memvex_u_flag ||
                 opts.follow_dependencies || opts.use_rc_library_lists || opts.replace_in_place);
    const std::string dynamic = w.cwd / "a b/p.analyze/dynamic";
    EXPECT_EQ((Strings{std::to_string(opts.memvex.memvex_S_value), *loc.morphel_dir,
                       *loc.audit_lib_dir, *loc.memvex_lib_dir, *opts.target_path,
                       *opts.check_file_spec, *opts.memvex.analyzer_dir}),
              (Strings{"12", "/eng", "/au", "/rt", "a b/p", "x:y", dynamic + "/latest"}));
    EXPECT_TRUE(exists(dynamic) && exists(w.cwd / "a/keep"));
    EXPECT_FALSE(exists(dynamic + "/old"));

    const auto d2 = w.memvex({"-Wd,-c", "-Wd,-u", "-i", "dataraces", "-H", "-", "prog:chk"});
    const RynOptions& opts2 = d2->options();
    EXPECT_TRUE(opts2.memvex.memvex_u_flag && opts2.memvex.data_race_mode &&
                !opts2.memvex.memvex_c_flag);
    EXPECT_EQ((Strings{*opts2.memvex.html_report, *opts2.target_path, *opts2.check_file_spec}),
              (Strings{"-", "prog", "chk"}));
}

}  // namespace
