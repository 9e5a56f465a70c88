// What set-up makes of the parsed options (lite mode, the -z count, library
// lists, the main target, report names, the runs that end here), where it
// finds its tools (the experiment tool a -Ye option names, the audit
// library's version), and the run-information file it writes: which
// records, in which order, where.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/ryn_cache.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "setup_fixture.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using setup_test::items;
using setup_test::SetupWorld;
using setup_test::Strings;

TEST(DistributeOptions, MemvexSettlesReportZCountLibraryListsAndLiteMode) {
    SetupWorld w;
    w.program();
    ryn_test::write_file(w.cwd / ".ryn.rc",
                         "append COMMON_IGNORABLE_LIBS /opt/lib/\n"
                         "append MEMVEX_IGNORABLE_LIBS libm.so\n"
                         "append RYN_IGNORABLE_LIBS libr.so\n"
                         "set WRITE_ONLY_LIBS libw.so\n");
    const auto out = w.memvex({"-T", "-N", "libx.so", "-o", "sub/deeper.bin", "prog"});
    distribute(*out);
    EXPECT_EQ(out->options().memvex.html_report, "deeper.bin.html");
    EXPECT_EQ(items(out->state().cache->ignorable_libs),
              (Strings{"libm.so", "/opt/lib/", "libx.so"}));
    EXPECT_EQ(items(out->state().cache->write_only_libs), Strings{"libw.so"});

    const auto no_rc = w.memvex({"-T", "-K", "-o", "out", "prog"});
    distribute(*no_rc);
    EXPECT_FALSE(no_rc->state().rc);
    EXPECT_TRUE(no_rc->state().cache->ignorable_libs.empty());
    const int expected[] = {0, 1, 0, 2, 3};
    for (int given = 0; given <= 4; ++given) {
        const auto d = w.memvex({"-T", "-o", "out", "prog"});
        d->options().z_count = given;
        distribute(*d);
        EXPECT_EQ(d->options().z_count, expected[given]) << given << " times -z";
    }

    ASSERT_EQ(ryn_test::run_shell("objcopy --strip-all prog", w.cwd.path()).status, 0);
    const auto lite = w.memvex({"-o", "out", "prog"});
    testing::internal::CaptureStderr();
    distribute(*lite);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  "memvex (warning): prog will be analyzed in lite mode because it is stripped "
                  "and/or has no annotations.  See memvex documentation",
                  0),
              0u);
    EXPECT_TRUE(lite->state().lite_mode);
    EXPECT_FALSE(following_dependencies(lite->options(), lite->state()) ||
                 lite->state().cache->follow_dependencies);
}

// The cache reads the run only through the policy the set-up hands it, so
// what the set-up settles must reach the targets.
TEST(DistributeOptions, TargetsFollowTheSettledOptions) {
    SetupWorld w;
    w.program();
    // A run that uses the program in place puts the original back first and
    // from then on does not count it as replaceable.
    for (const bool analyze : {true, false}) {
        const auto d = w.driver("ryn");
        RynOptions& opts = d->options();
        (analyze ? opts.analyze_mode : opts.instrument_mode) = true;
        opts.replace_in_place = true;
        opts.target_path = "prog";
        distribute(*d);
        EXPECT_EQ(d->state().main_target->replace(), !analyze) << analyze;
    }

    // The checker instruments its program fully with the program's check
    // file, unless told not to, and the libraries named with -c likewise.
    const auto full = w.memvex({"-T", "-c", "libq.so", "-o", "out", "prog:chk"});
    distribute(*full);
    const Target* main = full->state().main_target;
    EXPECT_EQ(main->instr_options, "chk");
    EXPECT_EQ(full->state().cache->policy.memvex_check_list, Strings{"libq.so"});
    const auto write_only = w.memvex({"-T", "-n", "-o", "out", "prog"});
    distribute(*write_only);
    EXPECT_FALSE(write_only->state().main_target->full_instr);
}

TEST(DistributeOptionsDeathTest, RunsThatEndDuringSetUp) {
    SetupWorld w;
    const std::string prog = w.program();
    // Check mode inspects at the detailed level (the engine's records of a
    // copy) and stops before the cache exists.
    ASSERT_EQ(ryn_test::run({ryn_test::stage_lib("morphel"), "-ryn",
                             "-comment=instrumentation args: seen", "-o", w.cwd / "copy", prog})
                  .status,
              0);
    const auto check = w.driver("ryn");
    check->options().check_mode = true;
    check->options().target_path = "copy";
    EXPECT_EXIT(distribute(*check), testing::ExitedWithCode(0),
                "previously instrumented.*\ninstrumentation args: seen\n");
    EXPECT_TRUE(std::filesystem::is_empty(w.cache.path()));

    EXPECT_EXIT(distribute(*w.memvex({"nothere"})), testing::ExitedWithCode(1),
                "^memvex \\(error\\): File nothere not found\n$");
    const auto no_target = w.driver("ryn");
    no_target->options().instrument_mode = true;
    EXPECT_EXIT(distribute(*no_target), testing::ExitedWithCode(1), "^Usage: ryn ");
}

// The file's text when it holds `records` ("number value"), in this order.
std::string text_of(const Strings& records) {
    std::string text;
    for (const std::string& record : records) {
        text += record + "\n";
    }
    return text;
}

std::string written(RynDriver& d) {
    const std::string option =
        create_ryninfo_file(d.options(), d.tool_args(), d.locations(), d.state(), d.util());
    const ArgCache& temp_files = d.util().temp_files;
    EXPECT_EQ(option, std::string("-ryninfo=") + temp_files[temp_files.count - 1]);
    return ryn_test::read_file(option.substr(9));
}

TEST(RyninfoFile, RecordsFollowTheSettingsInTableOrder) {
    const setup_test::SetupWorld w;
    const ryn_test::TempDir tmp;
    const ryn_test::ScopedEnv tmpdir("TMPDIR", tmp.path().c_str());
    const std::string prog = w.program();
    const auto d = w.memvex({"-T", "-o", "out", "prog"});
    distribute(*d);
    d->options().memvex.html_report.reset();  // a checker run always names a report; drop it here
    const std::string head =
        "1 memvex\n3 " + *d->locations().exec_dir + "\n5 " + std::string(memvex_ver_string) + "\n";
    const std::string cache_top = std::string("9 ") + d->state().cache->cache_top();
    EXPECT_EQ(written(*d),
              head + text_of({cache_top, "6 1", "21 " + prog, "33 both", "24 0", "22 1"}));
    EXPECT_EQ(std::string(d->util().temp_files[0]).rfind(tmp.path() + "/rninf", 0), 0u);

    ryn_test::write_file(w.cwd / ".ryn.rc",
                         "set COMMON_FILTERS a:b\n"
                         "append MEMVEX_IGNORABLE_LIBS libq.so\n");
    // One option of each kind of record: a count, a text, a number, a flag, a
    // list fed from the configuration too, the fork mode's word.
    const auto all = w.memvex({"-Wd,-z", "-Wd,-z", "-Wd,-z", "-w", "r.txt", "-S", "5", "-m", "-F",
                               "parent", "-N", "libz.so", "-Wd,-a=/an", "prog"});
    distribute(*all);
    EXPECT_EQ(written(*all), head + text_of({"7 " + all->tool_args().instrument_record.sprint(),
                                             cache_top, "29 /an", "11 libq.so", "11 libz.so", "2 2",
                                             "17 r.txt", "6 1", "21 " + prog, "33 parent", "25 a:b",
                                             "24 0", "10 5", "16 1", "22 1"}));
}

using ryn_test::TempDir;

void make_file(const std::string& path, const std::string& content = "#!/bin/sh\n") {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ryn_test::write_file(path, content);
    chmod(path.c_str(), 0755);
}

TEST(ErRynProbe, AYeDirectoryDecidesForTheWholeRun) {
    const TempDir tmp;
    make_file(tmp / "P/bin/er_ryn");
    make_file(tmp / "other/bin/er_ryn");
    const auto d = prepared();
    d->locations().exec_dir = tmp / "P/bin";
    parse(*d, {"ryn", "collect", "-Ye," + tmp / "other/lib/compilers"});
    EXPECT_TRUE(d->locations().er_ryn_elsewhere);
    EXPECT_EQ(d->locations().er_ryn_path, tmp / "other/bin/er_ryn");
    // Without the tool there, the run has none, although its own tree has one.
    ::testing::internal::CaptureStderr();
    parse(*d, {"ryn", "collect", "-Ye," + tmp / "empty/bin"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ryn (warning): Cannot find correct version of er_ryn in " + tmp / "empty/bin\n");
    EXPECT_FALSE(set_er_ryn_program(nullptr, d->locations()));
}

TEST(LavProbe, AnAnswerWithoutTheVersionEndsTheRun) {
    const auto d = prepared();
    // An audit library that is none: the runtime linker warns and runs the
    // program without it. A command split at the blank would run nothing.
    const TempDir tmp;
    const std::string prefix = tmp / "with blank";
    make_file(prefix + "/lib/compilers/amd64/ryndl.so", "not an audit library\n");
    make_file(prefix + "/chatty", "#!/bin/sh\necho hello\n");
    d->state().lav_version = 0;
    d->locations().exec_dir = prefix + "/bin";
    d->locations().program_name = prefix + "/chatty";
    EXPECT_EXIT(probe_lav_version(d->options(), d->locations(), d->state(), d->util()),
                ::testing::ExitedWithCode(1),
                "ryn \\(error\\): Cannot get link auditor version using command "
                "QVEN_RYN_AUDIT_VERSION=yes LD_AUDIT='" +
                    prefix + "/bin/../lib/compilers/amd64/ryndl.so' '" + prefix +
                    "/chatty'\n returned 0");
}

}  // namespace
