// The general front end's command line as the installed launchers see it:
// usage and help exits, the version banners, refused options, and the
// coverage front end's own option.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ryn/ryn_driver.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class LauncherCommandLine : public ::testing::Test {
protected:
    RunResult launch(const std::string& name, const std::vector<std::string>& args) {
        std::vector<std::string> argv{ryn_test::stage_bin(name)};
        argv.insert(argv.end(), args.begin(), args.end());
        return ryn_test::run(argv, ryn_e2e::hermetic_env(work.path()), work.path());
    }

    TempDir work;
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

TEST_F(LauncherCommandLine, UsageNamesTheInvokedProgramAndHelpExitsWithZero) {
    const RunResult bare = launch("ryn", {});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.err.rfind("Usage: " + ryn_test::stage_bin("ryn") + " [mode] ", 0), 0u);
    EXPECT_NE(bare.err.find("\n     ryn and zentor take a mode word"), std::string::npos);
    for (const char* help : {"-h", "-?"}) {
        const RunResult asked = launch("ryn", {help});
        EXPECT_EQ(asked.status, 0) << help;
        EXPECT_EQ(asked.err, bare.err) << help;
    }
    EXPECT_EQ(launch("ryn", {"instrumnet", "prog"}).err, bare.err);

    const RunResult help = launch("ryn", {"--help"});
    EXPECT_EQ(help.status, 0);
    ASSERT_EQ(help.err.rfind(bare.err, 0), 0u) << "the short usage comes first";
    EXPECT_EQ(count(help.err, "\n     -a "), 12u);
    std::string rows;
    for (const char* row : ryn_help_text) {
        rows += std::string("     -a ") + row;
    }
    EXPECT_NE(help.err.find(rows), std::string::npos) << help.err;
}

TEST_F(LauncherCommandLine, VersionBannersAndRefusalsBelongToTheFrontEnd) {
    const RunResult ryn = launch("ryn", {"-V"});
    EXPECT_EQ(ryn.status, 0);
    EXPECT_EQ(ryn.out, std::string(ryn_ver_string) + "\n");
    EXPECT_EQ(launch("ryn", {"collect", "-V", "prog"}).err,
              "ryn: " + std::string(ryn_ver_string) + "\n");
    EXPECT_EQ(launch("memvex", {"-V"}).out, std::string(memvex_ver_string) + "\n");

    const RunResult bad = launch("ryn", {"instrument", "-Q", "prog"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "ryn (error): Invalid option: -Q\n");
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(launch("zentor", {"coverage", "-b", "prog"}).err,
              "zentor (error): Invalid option: -b\n");
}

TEST_F(LauncherCommandLine, ZentorInstrumentsTheProgramStraightIntoItsOutputFile) {
    const ryn_e2e::Fixture fixture = ryn_e2e::build_fixture(work / "src", "prog", {});
    // A dry run echoes the engine commands without running them.
    const RunResult ryn = launch("ryn", {"instrument", "-n", "-v", fixture.program});
    ASSERT_EQ(ryn.status, 0) << ryn.err;
    EXPECT_NE(ryn.err.find(" -replace_origin="), std::string::npos) << ryn.err;
    EXPECT_EQ(ryn.err.find(" -o " + fixture.program + ".instr "), std::string::npos)
        << "the plain front end instruments into the cache";

    // The launcher adds -zentor after the mode word: the program is no longer
    // a cached copy of the plain front end.
    const RunResult zentor = launch("zentor", {"instrument", "-n", "-v", fixture.program});
    ASSERT_EQ(zentor.status, 0) << zentor.err;
    EXPECT_EQ(zentor.err.find(" -replace_origin="), std::string::npos) << zentor.err;
    EXPECT_NE(zentor.err.find(" -o " + fixture.program + ".instr "), std::string::npos)
        << zentor.err;
    EXPECT_EQ(zentor.err.rfind("zentor (info): ", 0), 0u);
}

}  // namespace
