// The bash completion of ryn, zentor and memvex, loaded into a real bash:
// what it offers at each point of a command line, and that every option it
// offers for a mode is one the driver accepts in that mode.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support/e2e_support.h"

namespace {

const std::string k_script = ryn_test::stage_dir() + "/share/bash-completion/completions/ryn";

using Words = std::vector<std::string>;

// The candidates bash offers for the command line `words`, the last word
// being the one under completion.
Words complete(const std::string& words, const std::string& cwd) {
    const std::string function = words.starts_with("memvex") ? "_memvex_complete" : "_ryn_complete";
    const std::string script = "source '" + k_script + "'; COMP_WORDS=(" + words +
                               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " + function +
                               "; printf '%s\\n' \"${COMPREPLY[@]}\"";
    const ryn_test::RunResult r = ryn_test::run({"bash", "--norc", "-c", script}, {}, cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Words candidates;
    std::istringstream lines(r.out);
    for (std::string word; lines >> word;) {
        candidates.push_back(word);
    }
    return candidates;
}

TEST(ShellCompletion, OffersModesOptionsValuesAndFilesWhereEachBelongs) {
    const ryn_test::TempDir dir;
    ryn_test::write_file(dir.path() + "/prog", "");
    ryn_test::write_file(dir.path() + "/-x", "");  // a file that "-?" would match as a glob
    const std::map<std::string, Words> cases = {
        {"ryn ''",
         {"instrument", "collect", "analyze", "coverage", "optimize", "check", "-h", "-?", "--help",
          "-V"}},
        {"zentor co", {"collect", "coverage"}},
        {"ryn analyze -a f", {"function"}},
        {"ryn optimize -O", {"-O1", "-O2", "-O3"}},
        // collect takes -g with a group, so its value is no target.
        {"ryn collect -g grp p", {"prog"}},
        // After the target every word is the target's, options too.
        {"ryn collect prog -", {"-x"}},
        {"ryn instrument -t -",
         {"-n",       "-v",      "-z", "-V", "-l", "-L", "-Yo,", "-Ye,", "-Wo,", "-vv",
          "-keeptmp", "-zentor", "-o", "-s", "-I", "-R", "-D",   "-S",   "-U",   "-M",
          "-r",       "-X",      "-m", "-K", "-k", "-N", "-t",   "-Wi,", "-g"}},
        {"memvex -F ''", {"parent", "child", "both"}},
        {"memvex -Wd,-", {"-Wd,-c", "-Wd,-u", "-Wd,-z", "-Wd,-B", "-Wd,-P", "-Wd,-a="}},
        {"memvex -o out p", {"prog"}},
        // One operand only: nothing follows the program.
        {"memvex -o out prog ''", {}},
    };
    for (const auto& [line, expected] : cases) {
        EXPECT_EQ(complete(line, dir.path()), expected) << line;
    }
}

TEST(ShellCompletion, EveryOptionOfferedForAModeIsAcceptedInThatMode) {
    const ryn_test::TempDir dir;
    for (const std::string mode :
         {"instrument", "collect", "analyze", "coverage", "optimize", "check"}) {
        const Words offered = complete("ryn " + mode + " -", dir.path());
        ASSERT_FALSE(offered.empty()) << mode;
        for (const std::string& option : offered) {
            // A value the option refuses is reported as an invalid option.
            Words argv = {ryn_test::stage_bin("ryn"), mode, option};
            if (option == "-i" || option == "-a") {
                argv.push_back(option == "-i" ? "on" : "bbc");
            }
            argv.push_back("missing-program");
            const ryn_test::RunResult r = ryn_test::run(argv, {}, dir.path());
            EXPECT_FALSE(ryn_e2e::holds(r.err, "Invalid option")) << mode << " " << option;
        }
    }
}

}  // namespace
