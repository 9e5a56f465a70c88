// A cached instrumented copy is reused until something that shapes it
// changes; the engine receives its options in a fixed order.
#include <sys/stat.h>
#include <utime.h>

#include <regex>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_e2e::Call;
using ryn_e2e::InstallCopy;
using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class InstrumentCache : public ::testing::Test {
protected:
    void SetUp() override {
        install.wrap(install.engine());
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
        env = ryn_e2e::hermetic_env(work.path());
    }

    RunResult ryn(std::vector<std::string> args) {
        args.insert(args.begin(), install.bin("ryn"));
        return ryn_test::run(args, env, work.path());
    }

    // The engine runs of one call of the driver.
    std::vector<Call> runs_of(std::vector<std::string> args) {
        install.clear_calls(install.engine());
        last = ryn(std::move(args));
        EXPECT_EQ(last.status, 0) << last.err;
        return install.engine_runs();
    }

    std::string cached_copy(const std::string& name) {
        const auto copies = ryn_e2e::files_ending_in(work / "cache", "/" + name);
        EXPECT_EQ(copies.size(), 1u);
        return copies.empty() ? "" : copies[0];
    }

    InstallCopy install;
    TempDir work;
    ryn_e2e::Fixture fixture;
    std::vector<std::string> env;
    RunResult last;
};

TEST_F(InstrumentCache, CopyGoesBesideProgramAndIntoCache) {
    const auto runs = runs_of({"instrument", fixture.program});
    ASSERT_EQ(runs.size(), 1u);

    const std::string output = fixture.program + ".instr";
    const std::string cached = cached_copy("prog");
    ASSERT_TRUE(ryn_test::exists(output));
    EXPECT_TRUE(std::regex_match(cached, std::regex(".*/cache/count[0-9a-f]{32}/prog")));
    EXPECT_EQ(ryn_test::read_file(output), ryn_test::read_file(cached));

    // The copy records the engine version and the signature it was made with.
    const auto records = ryn_e2e::comment_strings(cached);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[records.size() - 2], "ryn: morphel 1.0");
    EXPECT_EQ(records.back().rfind("instrumentation args: -ryn ", 0), 0u) << records.back();

    // The stamp beside the copy holds exactly 32 digest digits.
    const std::string stamp = ryn_test::read_file(cached + ".cksum_tstamp");
    EXPECT_TRUE(std::regex_match(stamp, std::regex("[0-9a-f]{32}"))) << stamp;

    // The instrumented program still runs.
    const RunResult ran = ryn_test::run({output, "x"});
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.out, "hello\narg:x\nsum:1\n");
}

TEST_F(InstrumentCache, UnchangedProgramIsNotInstrumentedAgain) {
    ASSERT_EQ(runs_of({"instrument", fixture.program}).size(), 1u);
    const std::string cached = cached_copy("prog");
    const std::string first_copy = ryn_test::read_file(cached);
    unlink((fixture.program + ".instr").c_str());

    EXPECT_TRUE(runs_of({"instrument", "-v", fixture.program}).empty());
    EXPECT_NE(last.err.find("ryn (info): No need to instrument " + fixture.program +
                            ", using cached copy\n\n"),
              std::string::npos)
        << last.err;
    EXPECT_EQ(last.err.find("Instrumenting target"), std::string::npos);
    EXPECT_EQ(ryn_test::read_file(cached), first_copy);
    // The output file is made again from the cached copy.
    EXPECT_EQ(ryn_test::read_file(fixture.program + ".instr"), first_copy);

    // A deleted copy is made again even though its stamp still matches.
    unlink(cached.c_str());
    EXPECT_EQ(runs_of({"instrument", fixture.program}).size(), 1u);
    EXPECT_TRUE(ryn_test::exists(cached));
}

TEST_F(InstrumentCache, EachChangeThatShapesTheCopyForcesANewOne) {
    ASSERT_EQ(runs_of({"instrument", fixture.program}).size(), 1u);

    // -k rebuilds every time, even with a signature that already matches.
    EXPECT_EQ(runs_of({"instrument", "-k", fixture.program}).size(), 1u);
    EXPECT_EQ(runs_of({"instrument", "-k", fixture.program}).size(), 1u);
    EXPECT_TRUE(runs_of({"instrument", fixture.program}).size() == 1u)
        << "the copy made with -k carries another signature";
    EXPECT_TRUE(runs_of({"instrument", fixture.program}).empty());

    // A touched file (same content, new modification time).
    struct stat st;
    ASSERT_EQ(stat(fixture.program.c_str(), &st), 0);
    struct utimbuf times = {st.st_atime, st.st_mtime - 100};
    ASSERT_EQ(utime(fixture.program.c_str(), &times), 0);
    EXPECT_EQ(runs_of({"instrument", fixture.program}).size(), 1u);
    EXPECT_TRUE(runs_of({"instrument", fixture.program}).empty());

    // A recorded option that the engine never sees as an option of its own.
    const auto with_r = runs_of({"instrument", "-r", fixture.program});
    ASSERT_EQ(with_r.size(), 1u);
    EXPECT_FALSE(with_r[0].has("-r"));
    EXPECT_NE(with_r[0].with_prefix("-comment=").find(" instrument -r"), std::string::npos);
    EXPECT_TRUE(runs_of({"instrument", "-r", fixture.program}).empty());

    // Another engine version.
    install.wrap(install.engine(), ryn_e2e::WrapperOptions::answering_version("ryn: morphel 2.0"));
    EXPECT_EQ(runs_of({"instrument", "-v", "-v", "-r", fixture.program}).size(), 1u);
    EXPECT_NE(last.err.find("ryn (info): Reinstrumenting because morphel version has changed: "
                            "Cached: ryn: morphel 1.0 \nThis morphel: ryn: morphel 2.0\n"),
              std::string::npos)
        << last.err;
}

TEST_F(InstrumentCache, KillOptionRemovesTheOldCopyEvenWhenTheEngineFails) {
    ASSERT_EQ(runs_of({"instrument", fixture.program}).size(), 1u);
    const std::string cached = cached_copy("prog");

    install.wrap(install.engine(), ryn_e2e::WrapperOptions::exiting_with(2));
    const RunResult failed = ryn({"instrument", "-k", fixture.program});
    EXPECT_EQ(failed.status, 1);
    EXPECT_FALSE(ryn_test::exists(cached));

    // The next run finds no copy and makes one, whatever the old stamp says.
    install.wrap(install.engine());
    EXPECT_EQ(runs_of({"instrument", fixture.program}).size(), 1u);
    EXPECT_TRUE(ryn_test::exists(cached));
}

TEST_F(InstrumentCache, InPlaceModeSavesOriginalsBeforeOverwriting) {
    const std::string lib = fixture.libs[0];
    const std::string old_lib = ryn_test::read_file(lib);
    const std::string old_prog = ryn_test::read_file(fixture.program);
    ASSERT_EQ(runs_of({"instrument", "-R", "-l", lib, fixture.program}).size(), 2u);

    const std::string lib_copy = cached_copy("libuser1.so");
    const std::string prog_copy = cached_copy("prog");
    EXPECT_EQ(ryn_test::read_file(lib), ryn_test::read_file(lib_copy));
    EXPECT_EQ(ryn_test::read_file(lib_copy + ".original"), old_lib);
    EXPECT_EQ(ryn_test::read_file(fixture.program), ryn_test::read_file(prog_copy));
    EXPECT_EQ(ryn_test::read_file(prog_copy + ".original"), old_prog);

    // Reusing the copies saves and overwrites in the same way.
    EXPECT_TRUE(runs_of({"instrument", "-R", "-l", lib, fixture.program}).empty()) << last.err;
    EXPECT_EQ(ryn_test::read_file(lib), ryn_test::read_file(lib_copy));
    EXPECT_EQ(ryn_test::read_file(lib_copy + ".original"), old_lib);
    EXPECT_EQ(ryn_test::read_file(prog_copy + ".original"), old_prog);
    const RunResult ran = ryn_test::run({fixture.program});
    EXPECT_EQ(ran.out, "hello\nsum:1\n");
}

// Options reach the engine in a fixed order, and the signature stored in the
// copy holds the same settings plus the ones that only shape the signature.
TEST_F(InstrumentCache, EngineArgumentsFollowTheFixedOrder) {
    ryn_test::write_file(work / ".ryn.rc", "set RYN_IGNORABLE_FUNCTIONS secret_fn:other_fn\n");
    const auto runs = runs_of({"instrument", "-M", "-Wi,-extra", fixture.program});
    ASSERT_EQ(runs.size(), 2u);

    const std::string audit = install.lib("amd64/ryndl.so");
    const std::string prog_copy = cached_copy("prog");
    const std::string lib_copy = cached_copy("libuser1.so");
    const std::string origin = "-replace_origin=" + fixture.dir;

    for (const Call& run : runs) {
        SCOPED_TRACE(run.last());
        EXPECT_TRUE(run.missing_paths.empty()) << run.missing_paths[0];
        const bool is_main = run.last() == fixture.program;
        const std::string base = is_main ? "prog" : "libuser1.so";

        std::vector<std::string> signature = {"-ryn", "-xkalfix=instrument:./" + base + ".instrdata"};
        if (is_main) {
            // Libraries get no auditor of their own: the audit library
            // answers a link-auditor version above 3.
            signature.push_back("-add_depaudit=" + audit);
        }
        signature.insert(signature.end(), {"-global_auditing", origin, "-extra"});

        std::vector<std::string> expected = signature;
        const std::string blacklist = run.with_prefix("-blacklist=");
        ASSERT_FALSE(blacklist.empty());
        expected.push_back(blacklist);

        std::string comment = "-comment=instrumentation args:";
        for (const std::string& entry : signature) {
            comment += " " + entry;
        }
        if (is_main) {
            comment += " /lib/ /lib64/ /usr/lib/ /usr/lib64/";
        }
        comment += " instrument -Wi,-extra";
        expected.push_back(comment);
        expected.push_back(is_main ? "-error_not_optimizable=on" : "-error_not_optimizable=off");
        expected.push_back("-g=off");
        expected.push_back("-printannstat=1");
        if (is_main) {
            const std::string ryninfo = run.with_prefix("-ryninfo=");
            ASSERT_FALSE(ryninfo.empty());
            expected.push_back(ryninfo);
        }
        expected.push_back("-o");
        expected.push_back(is_main ? prog_copy : lib_copy);
        expected.push_back(is_main ? fixture.program : fixture.libs[0]);
        EXPECT_EQ(run.args, expected);

        // The copy stores exactly the signature the engine was given.
        const auto records = ryn_e2e::comment_strings(is_main ? prog_copy : lib_copy);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ("-comment=" + records.back(), comment);
    }
}

}  // namespace
