// The memory checker writes the main program straight to its output file,
// always anew, with the checker runtime put in front of its needed libraries,
// and keeps the program's user libraries in the cache.
#include <gtest/gtest.h>

#include "support/e2e_support.h"

using ryn_test::RunResult;
using Args = std::vector<std::string>;

namespace {

class MemvexRun : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
        output = work / "out";
        // A soft stack limit of 4 MiB tells the limit the engine gets apart
        // from the one it would inherit.
        launch_prefix = {"/bin/sh", "-c", "ulimit -S -s 4096; exec \"$0\" \"$@\""};
    }

    std::vector<ryn_e2e::Call> engine_runs_of(const Args& extra_env, Args args = {}) {
        args.insert(args.end(), {"-o", output, fixture.program});
        last = run_front_end("memvex", args, extra_env);
        EXPECT_EQ(last.status, 0) << last.err;
        return install.engine_runs();
    }

    std::string output;
    RunResult last;
};

TEST_F(MemvexRun, ProgramGoesToTheOutputFileOnEveryRunAndLibrariesToTheCacheOnce) {
    const auto runs = engine_runs_of({});
    ASSERT_EQ(runs.size(), 2u);
    const auto& main_run = runs[0].last() == fixture.program ? runs[0] : runs[1];
    const auto& lib_run = runs[0].last() == fixture.program ? runs[1] : runs[0];

    const std::string runtime = "-prepend_dt_needed=" + install.lib("amd64/libmemvex.so");
    const std::string audit = "-add_depaudit=" + install.lib("amd64/ryndl.so");
    EXPECT_EQ(
        main_run.args,
        (Args{"-ped", "-xkalfix=instrument", runtime, audit, "-global_auditing",
              "-comment=instrumentation args: -ped -xkalfix=instrument " + runtime + " " + audit +
                  " -global_auditing",
              "-error_not_optimizable=on", "-printannstat=1", main_run.with_prefix("-ryninfo=/"),
              "-memvex_full_lib_instr", "-o", output, fixture.program}));

    const std::string lib_copy = cached_copy("libuser1.so");
    EXPECT_EQ(lib_run.with_prefix("-comment="),
              "-comment=instrumentation args: -ped -xkalfix=instrument -global_auditing "
              "-replace_origin=" +
                  fixture.dir);
    EXPECT_EQ(lib_run.args.end()[-2], lib_copy);
    EXPECT_EQ(main_run.stack_limit, "8192");

    // The main program never lands in the cache, and gets no stamp there.
    EXPECT_EQ(ryn_e2e::files_ending_in(work / "cache", "/prog"), Args{});
    EXPECT_EQ(ryn_e2e::files_ending_in(work / "cache", ".cksum_tstamp"),
              Args{lib_copy + ".cksum_tstamp"});

    // Later runs instrument the program again, but reuse the library.
    const std::string lib_bytes = ryn_test::read_file(lib_copy);
    unlink(output.c_str());
    const auto again = engine_runs_of({"QVEN_RYN_STACK_RLIMIT=64"}, {"-v"});
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].last(), fixture.program);
    EXPECT_EQ(again[0].stack_limit, "64");
    EXPECT_NE(last.err.find("memvex (info): No need to instrument " + fixture.libs[0] +
                            ", using cached copy\n"),
              std::string::npos)
        << last.err;
    EXPECT_NE(last.err.find("memvex (info): Instrumented file output: " + output + "."),
              std::string::npos);
    EXPECT_EQ(ryn_test::read_file(lib_copy), lib_bytes);
}

}  // namespace
