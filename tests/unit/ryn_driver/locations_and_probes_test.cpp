// Where the driver finds itself and its experiment tool, and how it learns
// the audit library's version.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using ryn_test::TempDir;

void make_file(const std::string& path, const std::string& content = "#!/bin/sh\n") {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ryn_test::write_file(path, content);
    chmod(path.c_str(), 0755);
}

TEST(ExecLocation, ArgvZeroIsTheExecutableInTellModeWhenTheCallerKnowsTheVersion) {
    // Located only after "-t" is seen, so the run looks for its libraries in
    // the tree argv[0] names.
    const TempDir tmp;
    make_file(tmp / "P/bin/ryn");
    Argv argv({tmp / "P/bin/ryn", "instrument", "-t", "/proc/self/exe"});
    char answer[64];
    EXPECT_EXIT(ryn_main_entry("ryn", answer, sizeof answer, argv.argc(), argv.get(), k_known_lav),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): cannot resolve pathname " + tmp / "P/lib/compilers/amd64");
}

TEST(ErRynProbe, OwnTreeIsSearchedFirstAndAYeDirectoryDecidesForTheWholeRun) {
    const TempDir tmp;
    const std::string root = tmp / "R/lib/compilers/x";
    make_file(tmp / "R/lib/analyzer/er_ryn");  // found by a cut at the first occurrence
    make_file(root + "/bin/er_ryn");
    make_file(tmp / "P/lib/analyzer/er_ryn");
    make_file(tmp / "P/bin/er_ryn");
    make_file(tmp / "other/bin/er_ryn");
    for (const auto& [exec_dir, found] :
         {std::pair<std::string, std::string>{root + "/lib/compilers/bin", root + "/bin/er_ryn"},
          {tmp / "P/bin", tmp / "P/lib/analyzer/er_ryn"},
          {tmp / "P/tools", ""}}) {
        const auto d = prepared();
        d->locations().exec_dir = exec_dir;
        EXPECT_EQ(set_er_ryn_program(nullptr, d->locations()), !found.empty()) << exec_dir;
        EXPECT_EQ(d->locations().er_ryn_path.value_or(""), found);
        EXPECT_FALSE(d->locations().er_ryn_elsewhere);
        d->locations().exec_dir = tmp / "gone";
        EXPECT_EQ(set_er_ryn_program(nullptr, d->locations()), !found.empty())
            << "found once, kept";
    }

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

TEST(LavProbe, TheAuditLibraryIsAskedOnceAndAnAnswerWithoutTheVersionEndsTheRun) {
    const auto d = prepared();
    d->state().lav_version = 0;
    d->locations().exec_dir = ryn_test::stage_dir() + "/lib/compilers";
    d->locations().program_name = ryn_test::stage_bin("ryn");
    d->options().very_verbose = true;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(probe_lav_version(d->options(), d->locations(), d->state(), d->util()), 4);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ryn (info): Link Auditor Version=4\n");
    d->locations().program_name = "/nonexistent/program";
    EXPECT_EQ(probe_lav_version(d->options(), d->locations(), d->state(), d->util()), 4);

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
