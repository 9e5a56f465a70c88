// A cached instrumented copy is reused until something that shapes it
// changes; the engine receives its options in a fixed order.
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

using ryn_test::read_file;

namespace {

class InstrumentCache : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
    }

    // The number of engine runs of one successful call of the driver.
    size_t engine_runs_of(std::vector<std::string> args) {
        last = ryn(std::move(args));
        EXPECT_EQ(last.status, 0) << last.err;
        return install.engine_runs().size();
    }

    ryn_test::RunResult last;
};

TEST_F(InstrumentCache, CopyIsReusedUntilSomethingThatShapesItChanges) {
    ASSERT_EQ(engine_runs_of({"instrument", fixture.program}), 1u);
    const std::string output = fixture.program + ".instr";
    const std::string cached = cached_copy("prog");
    EXPECT_EQ(read_file(output), read_file(cached));

    unlink(output.c_str());
    EXPECT_EQ(engine_runs_of({"instrument", "-v", fixture.program}), 0u);
    EXPECT_TRUE(ryn_e2e::holds(last.err, "ryn (info): No need to instrument " + fixture.program +
                                             ", using cached copy\n\n"));
    EXPECT_EQ(read_file(output), read_file(cached));

    // -k rebuilds even a copy whose signature matches; it is itself recorded.
    EXPECT_EQ(engine_runs_of({"instrument", "-k", fixture.program}), 1u);
    EXPECT_EQ(engine_runs_of({"instrument", "-k", fixture.program}), 1u);
    EXPECT_EQ(engine_runs_of({"instrument", fixture.program}), 1u);
    EXPECT_EQ(engine_runs_of({"instrument", fixture.program}), 0u);

    // Same content, another modification time.
    struct stat st;
    ASSERT_EQ(stat(fixture.program.c_str(), &st), 0);
    const struct utimbuf times = {st.st_atime, st.st_mtime - 100};
    ASSERT_EQ(utime(fixture.program.c_str(), &times), 0);
    EXPECT_EQ(engine_runs_of({"instrument", fixture.program}), 1u);

    // A recorded option that the engine never sees as an option of its own.
    EXPECT_EQ(engine_runs_of({"instrument", "-r", fixture.program}), 1u);
    EXPECT_EQ(std::ranges::count(install.engine_runs()[0].args, "-r"), 0);
    EXPECT_EQ(engine_runs_of({"instrument", "-r", fixture.program}), 0u);
}

// The signature list first, then the configured function lists, the stored
// signature (with the entries that only shape it), the finishing options,
// the output and the input.
TEST_F(InstrumentCache, EngineArgumentsFollowTheFixedOrder) {
    ryn_test::write_file(work / ".ryn.rc", "set RYN_IGNORABLE_FUNCTIONS secret_fn:other_fn\n");
    ASSERT_EQ(engine_runs_of({"instrument", "-M", "-Wi,-extra", fixture.program}), 2u);
    const std::string origin = "-replace_origin=" + fixture.dir;
    for (const auto& run : install.engine_runs()) {
        SCOPED_TRACE(run.last());
        const bool is_main = run.last() == fixture.program;
        const std::string base = is_main ? "prog" : "libuser1.so";
        std::vector<std::string> signature = {"-ryn",
                                              "-xkalfix=instrument:./" + base + ".instrdata"};
        if (is_main) {
            // The audit library answers a version above 3: libraries need
            // no auditor of their own.
            signature.push_back("-add_depaudit=" + install.lib("amd64/ryndl.so"));
        }
        signature.insert(signature.end(), {"-global_auditing", origin, "-extra"});

        std::string comment = "-comment=instrumentation args:";
        for (const std::string& entry : signature) {
            comment += " " + entry;
        }
        comment += is_main ? " /lib/ /lib64/ /usr/lib/ /usr/lib64/ instrument -Wi,-extra"
                           : " instrument -Wi,-extra";
        std::vector<std::string> expected = signature;
        expected.insert(expected.end(),
                        {run.with_prefix("-blacklist=/"), comment,
                         is_main ? "-error_not_optimizable=on" : "-error_not_optimizable=off",
                         "-g=off", "-printannstat=1"});
        if (is_main) {
            expected.push_back(run.with_prefix("-ryninfo=/"));
        }
        expected.insert(expected.end(), {"-o", cached_copy(base), run.last()});
        EXPECT_EQ(run.args, expected);
    }
}

}  // namespace
