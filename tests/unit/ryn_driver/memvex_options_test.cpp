// What the memory checker's options set and record, the operand rules, the
// -c forms and the analyzer directory of -a.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ryn/ryn_driver.h"
#include "support/test_support.h"

using ryn_test::exists;
using ryn_test::ScopedChdir;
using ryn_test::TempDir;
using ryn_test::write_file;

namespace {

using Strings = std::vector<std::string>;

Strings items(const ArgCache& list) { return Strings(list.begin(), list.end()); }

// A memvex driver with the command line `args` (after the program name)
// parsed. A non-zero audit version keeps the test's signal handlers.
std::unique_ptr<RynDriver> parse(const Strings& args) {
    auto driver = std::make_unique<RynDriver>("memvex", 4, RynDriver::PrepareOnly{});
    driver->program_name = "memvex";
    std::vector<std::string> storage{"memvex"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    driver->process_memvex_options(static_cast<int>(storage.size()), argv.data());
    return driver;
}

TEST(MemvexOptions, SettingsAreStoredAndRecordedAsTyped) {
    const auto d = parse({"-D", "/cache", "-o", "out", "-K", "-L", "-N", "libx.so", "-k", "-l",
                          "-n", "-s", "-w", "t.txt", "-S", "12x", "-b", "bee", "-E", "3", "-e",
                          "-4", "-m", "-f", "-i", "memcheck", "-F", "child", "-Y", "o,/eng",
                          "-H", "r.html", "-w", "u.txt", "prog"});
    EXPECT_EQ(d->cache_dir, "/cache");
    EXPECT_EQ(d->output_file, "out");
    EXPECT_FALSE(d->read_rc_files);
    EXPECT_TRUE(d->L_option);
    EXPECT_EQ(items(d->excluded_libraries), Strings{"libx.so"});
    EXPECT_TRUE(d->k_option);
    EXPECT_TRUE(d->lite_mode);
    EXPECT_TRUE(d->no_main_full_instr);
    EXPECT_TRUE(d->skip_bad_libraries);
    EXPECT_EQ(d->text_report, "u.txt");
    EXPECT_EQ(d->html_report, "r.html");
    EXPECT_EQ(d->memvex_S_value, 12);
    EXPECT_EQ(d->memvex_b_value, "bee");
    EXPECT_EQ(d->memvex_E_value, 3);
    EXPECT_EQ(d->memvex_e_value, -4);
    EXPECT_TRUE(d->memvex_m_flag);
    EXPECT_TRUE(d->memvex_f_flag);
    EXPECT_FALSE(d->data_race_mode);
    EXPECT_EQ(d->fork_mode, 1);
    EXPECT_EQ(d->morphel_dir, "/eng");
    EXPECT_EQ(d->target_path, "prog");
    EXPECT_FALSE(d->check_file_spec);
    EXPECT_TRUE(d->follow_dependencies);
    EXPECT_EQ(items(d->instrument_record),
              (Strings{"-K", "-k", "-s", "-S", "12x", "-b", "bee", "-E", "3", "-e", "-4", "-m",
                       "-f", "-i", "memcheck", "-F", "child", "-Y", "o,/eng"}));
    EXPECT_TRUE(d->engine_passthrough_args.empty());

    const auto defaults = parse({"prog"});
    EXPECT_TRUE(defaults->instrument_record.empty());
    EXPECT_TRUE(defaults->read_rc_files);
    EXPECT_EQ(defaults->fork_mode, 2);
    EXPECT_EQ(defaults->memvex_S_value, -1);
    EXPECT_FALSE(defaults->verbose);
}

TEST(MemvexOptions, ModesVerbosityAndTellMode) {
    const auto race = parse({"-i", "datarace", "-F", "parent", "-v", "prog"});
    EXPECT_TRUE(race->data_race_mode);
    EXPECT_EQ(race->fork_mode, 0);
    EXPECT_TRUE(race->verbose);
    EXPECT_FALSE(race->very_verbose);
    EXPECT_TRUE(parse({"-i", "dataraces", "prog"})->data_race_mode);

    const auto twice = parse({"-v", "-v", "-F", "both", "prog"});
    EXPECT_TRUE(twice->verbose && twice->very_verbose);
    EXPECT_EQ(twice->fork_mode, 2);

    const auto tell = parse({"-t", "prog"});
    EXPECT_TRUE(tell->tell_mode);
    EXPECT_FALSE(tell->follow_dependencies);
    EXPECT_FALSE(tell->use_rc_library_lists);
    EXPECT_FALSE(tell->replace_in_place);
    const auto no_deps = parse({"-T", "prog"});
    EXPECT_FALSE(no_deps->follow_dependencies);
    EXPECT_FALSE(no_deps->tell_mode);
    EXPECT_TRUE(no_deps->use_rc_library_lists);
}

TEST(MemvexOptions, WFormsPassPayloadsAndSetDriverSettings) {
    const auto in = parse({"-Wi,-foo=1", "prog"});
    const auto out = parse({"-W", "o,-foo=1", "prog"});
    EXPECT_EQ(items(in->engine_passthrough_args), Strings{"-foo=1"});
    EXPECT_EQ(items(out->engine_passthrough_args), Strings{"-foo=1"});
    EXPECT_EQ(items(in->instrument_record), (Strings{"-W", "i,-foo=1"}));
    EXPECT_EQ(items(out->instrument_record), (Strings{"-W", "o,-foo=1"}));

    const std::string long_payload(2000, 'p');
    const auto cut = parse({"-Wi," + long_payload, "prog"});
    EXPECT_EQ(items(cut->engine_passthrough_args), Strings{long_payload.substr(0, 1023)});
    EXPECT_EQ(items(cut->instrument_record), (Strings{"-W", "i," + long_payload}));

    const auto d = parse({"-Wd,-c", "-Wd,-z", "-Wd,-B/audit", "-Wd,-P/rt", "-Wd,-a=/an", "-Wd,-z",
                          "prog"});
    EXPECT_TRUE(d->memvex_c_flag);
    EXPECT_FALSE(d->memvex_u_flag);
    EXPECT_EQ(d->z_count, 2);
    EXPECT_EQ(d->audit_lib_dir, "/audit");
    EXPECT_EQ(d->memvex_lib_dir, "/rt");
    EXPECT_EQ(d->analyzer_dir, "/an");
    EXPECT_TRUE(d->engine_passthrough_args.empty());
    EXPECT_EQ(items(d->instrument_record),
              (Strings{"-W", "d,-c", "-W", "d,-z", "-W", "d,-B/audit", "-W", "d,-P/rt", "-W",
                       "d,-a=/an", "-W", "d,-z"}));

    const auto u_last = parse({"-Wd,-c", "-Wd,-u", "prog"});
    EXPECT_TRUE(u_last->memvex_u_flag);
    EXPECT_FALSE(u_last->memvex_c_flag);
}

TEST(MemvexOptions, OperandSplitsAtTheFirstColon) {
    const auto one = parse({"prog:check"});
    EXPECT_EQ(one->target_path, "prog");
    EXPECT_EQ(one->check_file_spec, "check");
    const auto two = parse({"dir/prog:a:b"});
    EXPECT_EQ(two->target_path, "dir/prog");
    EXPECT_EQ(two->check_file_spec, "a:b");
    const auto dash = parse({"-H", "-", "prog"});
    EXPECT_EQ(dash->html_report, "-");
}

TEST(MemvexOptions, CheckListTakesLibrariesListFilesAndDash) {
    TempDir dir;
    ScopedChdir here(dir.path());
    write_file(dir / "list", "libA.so\n\n   \t\nlibB.so  \t\n  libC.so:chk\nlibD.so");
    ASSERT_TRUE(ryn_test::compile_c("int f(void) { return 1; }\n", dir / "libE.so",
                                    "-shared -fPIC"));

    const auto d = parse({"-c", "libnone.so:file", "-c", "list", "-c", "list:ignored", "-c",
                          dir / "libE.so", "-c", "-", "prog"});
    EXPECT_EQ(items(d->memvex_check_list),
              (Strings{"libnone.so", "libA.so", "libB.so", "  libC.so:chk", "libD.so",
                       "libA.so", "libB.so", "  libC.so:chk", "libD.so", dir / "libE.so"}));
    EXPECT_TRUE(d->check_all_libraries);
    EXPECT_EQ(items(d->instrument_record),
              (Strings{"-c", "libnone.so:file", "-c", "list", "-c", "list:ignored", "-c",
                       dir / "libE.so", "-c", "-"}));
    EXPECT_FALSE(parse({"prog"})->check_all_libraries);
}

TEST(MemvexOptions, AnalyzerDirectoryIsCreatedAndEmptied) {
    TempDir dir;
    // A blank in the path must not let the removal reach "<dir>/a".
    const std::string progdir = dir / "a b";
    ASSERT_EQ(ryn_test::run_shell("mkdir -p '" + progdir + "/prog.analyze/dynamic/old' '" +
                                  (dir / "a") + "' && touch '" + progdir +
                                  "/prog.analyze/dynamic/old/f' '" + progdir + "/prog' '" +
                                  (dir / "a") + "/keep'")
                  .status,
              0);
    ScopedChdir here(progdir);
    const auto d = parse({"-Wd,-a=/given", "-a", "prog"});
    EXPECT_EQ(d->analyzer_dir, progdir + "/prog.analyze/dynamic/latest");
    EXPECT_TRUE(exists(progdir + "/prog.analyze/dynamic"));
    EXPECT_FALSE(exists(progdir + "/prog.analyze/dynamic/old"));
    EXPECT_TRUE(exists(dir / "a/keep"));
    EXPECT_TRUE(exists(progdir + "/prog"));

    TempDir fresh;
    write_file(fresh / "p", "");
    ScopedChdir there(fresh.path());
    const auto made = parse({"-a", "p:chk"});
    EXPECT_EQ(made->analyzer_dir, fresh / "p.analyze/dynamic/latest");
    EXPECT_TRUE(exists(fresh / "p.analyze/dynamic"));
    EXPECT_FALSE(exists(fresh / "p.analyze/dynamic/latest"));
}

TEST(MemvexOptionsDeathTest, OperandErrorsEndTheRun) {
    EXPECT_EXIT(parse({"-H", "-o", "out", "prog"}), testing::ExitedWithCode(1),
                "memvex \\(error\\): -H option has changed: it now requires a filename argument");
    EXPECT_EXIT(parse({"-H", "r.html", "a", "b"}), testing::ExitedWithCode(1),
                "-H option has changed");
    EXPECT_EXIT(parse({"prog", "-o", "x"}), testing::ExitedWithCode(1),
                "memvex \\(error\\): No input target specified");
    EXPECT_EXIT(parse({"-v"}), testing::ExitedWithCode(1), "No input target specified");
    EXPECT_EXIT(parse({"-W", "x,y", "prog"}), testing::ExitedWithCode(1),
                "^memvex: Error in -W option: use -Wi,<morphel_arg> or -Wo,<morphel_arg>\n$");
    EXPECT_EXIT(parse({"-Wd,-zz", "prog"}), testing::ExitedWithCode(1), "Error in -W option");
    EXPECT_EXIT(parse({"-W", "i", "prog"}), testing::ExitedWithCode(1), "Error in -W option");
}

}  // namespace
