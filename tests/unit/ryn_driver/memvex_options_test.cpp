// What the memory checker's options set and record, the operand rules, the
// -c forms and the analyzer directory of -a.
#include <gtest/gtest.h>

#include <string>

#include "setup_fixture.h"

using ryn_test::exists;
using setup_test::items;
using setup_test::SetupWorld;
using setup_test::Strings;

namespace {

TEST(MemvexOptions, SettingsAreStoredAndRecordedAsTyped) {
    SetupWorld w;
    const auto d = w.memvex({"-D", "/c", "-o", "out", "-K", "-N", "libx.so", "-k", "-s", "-S",
                             "12x", "-b", "bee", "-E", "3", "-e", "4", "-m", "-f", "-i",
                             "memcheck", "-F", "child", "-Yo,/eng", "-Wi,-a=1", "-W", "o,-a=1",
                             "-Wd,-c", "-Wd,-z", "-Wd,-B/au", "-Wd,-P/rt", "-Wd,-a=/an",
                             "-Wd,-z", "-v", "-v", "-t", "dir/prog:a:b"});
    EXPECT_EQ(d->cache_dir, "/c");
    EXPECT_EQ(d->output_file, "out");
    EXPECT_FALSE(d->read_rc_files);
    EXPECT_EQ(items(d->excluded_libraries), Strings{"libx.so"});
    EXPECT_TRUE(d->k_option && d->skip_bad_libraries && d->memvex_m_flag && d->memvex_f_flag);
    EXPECT_EQ(d->memvex_S_value, 12);
    EXPECT_EQ(d->memvex_b_value, "bee");
    EXPECT_EQ(d->memvex_E_value, 3);
    EXPECT_EQ(d->memvex_e_value, 4);
    EXPECT_FALSE(d->data_race_mode);
    EXPECT_EQ(d->fork_mode, 1);
    EXPECT_EQ(d->morphel_dir, "/eng");
    EXPECT_EQ(items(d->engine_passthrough_args), (Strings{"-a=1", "-a=1"}));
    EXPECT_TRUE(d->memvex_c_flag);
    EXPECT_FALSE(d->memvex_u_flag);
    EXPECT_EQ(d->z_count, 2);
    EXPECT_EQ(d->audit_lib_dir, "/au");
    EXPECT_EQ(d->memvex_lib_dir, "/rt");
    EXPECT_EQ(d->analyzer_dir, "/an");
    EXPECT_TRUE(d->verbose && d->very_verbose && d->tell_mode);
    EXPECT_FALSE(d->follow_dependencies || d->use_rc_library_lists || d->replace_in_place);
    EXPECT_EQ(d->target_path, "dir/prog");
    EXPECT_EQ(d->check_file_spec, "a:b");
    EXPECT_EQ(items(d->instrument_record),
              (Strings{"-K", "-k", "-s", "-S", "12x", "-b", "bee", "-E", "3", "-e", "4", "-m",
                       "-f", "-i", "memcheck", "-F", "child", "-Y", "o,/eng", "-W", "i,-a=1",
                       "-W", "o,-a=1", "-W", "d,-c", "-W", "d,-z", "-W", "d,-B/au", "-W",
                       "d,-P/rt", "-W", "d,-a=/an", "-W", "d,-z"}));

    // A second scan in the same process starts afresh.
    const auto d2 = w.memvex({"-Wd,-c", "-Wd,-u", "-i", "dataraces", "-v", "-T", "-H", "-", "p"});
    EXPECT_TRUE(d2->memvex_u_flag && d2->data_race_mode && d2->verbose);
    EXPECT_FALSE(d2->memvex_c_flag || d2->very_verbose || d2->follow_dependencies);
    EXPECT_TRUE(d2->use_rc_library_lists);
    EXPECT_EQ(d2->html_report, "-");
    EXPECT_EQ(d2->target_path, "p");
    EXPECT_FALSE(d2->check_file_spec);
}

TEST(MemvexOptions, CheckListTakesLibrariesListFilesAndDash) {
    SetupWorld w;
    ryn_test::write_file(w.cwd / "list", "libA.so\n\n   \t\nlibB.so  \t\n  libC.so:chk\nlibD.so");
    ASSERT_TRUE(ryn_test::compile_c("int f(void) { return 1; }\n", w.cwd / "libE.so",
                                    "-shared -fPIC"));
    const auto d = w.memvex({"-c", "libnone.so:file", "-c", "list:x", "-c", "libE.so", "-c", "-",
                             "prog"});
    EXPECT_EQ(items(d->memvex_check_list), (Strings{"libnone.so", "libA.so", "libB.so",
                                                    "  libC.so:chk", "libD.so", "libE.so"}));
    EXPECT_TRUE(d->check_all_libraries);
    EXPECT_EQ(items(d->instrument_record), (Strings{"-c", "libnone.so:file", "-c", "list:x", "-c",
                                                    "libE.so", "-c", "-"}));
}

TEST(MemvexOptions, AnalyzerDirectoryIsCreatedAndEmptiedOnlyThere) {
    SetupWorld w;
    // A blank in the path must not let the removal reach "<cwd>/a".
    const std::string dir = w.cwd / "a b";
    ASSERT_EQ(ryn_test::run_shell("mkdir -p 'a b/prog.analyze/dynamic/old' a && touch "
                                  "'a b/prog.analyze/dynamic/old/f' 'a b/prog' a/keep",
                                  w.cwd.path())
                  .status,
              0);
    const auto d = w.memvex({"-Wd,-a=/given", "-a", "a b/prog"});
    EXPECT_EQ(d->analyzer_dir, dir + "/prog.analyze/dynamic/latest");
    EXPECT_TRUE(exists(dir + "/prog.analyze/dynamic"));
    EXPECT_FALSE(exists(dir + "/prog.analyze/dynamic/old"));
    EXPECT_TRUE(exists(w.cwd / "a/keep"));
}

}  // namespace
