// The engine: its copies stay runnable, keep their permissions and
// end their .comment with the version and argument records, run after run;
// what it cannot work with it refuses with one clear line on standard error,
// status 2 and no output file.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_support.h"

using namespace ryn_test;
using Strings = std::vector<std::string>;

namespace {

// The last n strings of .comment, as readelf shows them.
Strings last_comments(const std::string& path, size_t n) {
    const std::string dump = run({"readelf", "-p", ".comment", path}).out;
    Strings strings;
    for (size_t at = 0; (at = dump.find("  [", at)) != std::string::npos;) {
        const size_t text = dump.find("]  ", at) + 3;
        at = dump.find('\n', text);
        strings.push_back(dump.substr(text, at - text));
    }
    return Strings(strings.end() - std::min(n, strings.size()), strings.end());
}

TEST(MorphelOutput, CopiesStillRunAndEachRunAppendsBothRecords) {
    TempDir dir;
    // A PIE with the compiler's .comment, and an ET_EXEC without any.
    for (const std::string flags : {"", "-no-pie"}) {
        SCOPED_TRACE("flags: " + flags);
        const std::string prog = dir / ("prog" + flags);
        ASSERT_TRUE(compile_c(hello_source("42"), prog, flags));
        if (!flags.empty()) {
            ASSERT_EQ(run({"objcopy", "--remove-section", ".comment", prog}).status, 0);
        }
        chmod(prog.c_str(), 0750);
        const RunResult first =
            run_morphel({"-ryn", "-comment=instrumentation args: -ryn", "-o", prog + ".1", prog});
        ASSERT_EQ(first.status, 0) << first.err;
        EXPECT_EQ(first.out + first.err, "");
        EXPECT_EQ(run({prog + ".1"}).out, "42\n");
        struct stat st {};
        EXPECT_EQ(stat((prog + ".1").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0750u);
        EXPECT_EQ(last_comments(prog + ".1", 2),
                  (Strings{"ryn: morphel 1.0", "instrumentation args: -ryn"}));

        ASSERT_EQ(run_morphel({"-ped", "-comment=again", "-o", prog + ".2", prog + ".1"}).status,
                  0);
        EXPECT_EQ(run({prog + ".2"}).out, "42\n");
        // Without a .comment to begin with, the records are all there is.
        EXPECT_EQ(last_comments(prog + ".2", flags.empty() ? 4 : 100),
                  (Strings{"ryn: morphel 1.0", "instrumentation args: -ryn", "memvex: morphel 1.0",
                           "again"}));
    }
}

TEST(MorphelRejects, UnusableInputOrCommandLine) {
    TempDir dir;
    const std::string prog = dir / "prog";
    const std::string out = dir / "out/copy";
    const std::string info = dir / "info";
    ASSERT_TRUE(compile_c(hello_source("x"), prog));
    ASSERT_EQ(run({"mkdir", dir / "out"}).status, 0);
    write_file(dir / "text", "not a program\n");
    // Checks the failure contract and returns what the engine said.
    const auto failure = [&](const Strings& args) {
        const RunResult result = run_morphel(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
        return result.err;
    };

    const std::pair<Strings, std::string> refusals[] = {
        {{"-ryn", "-o", out, dir / "missing"},
         "cannot read " + (dir / "missing") + ": No such file or directory"},
        {{"-ryn", "-o", out, dir / "text"}, "not an ELF file: " + (dir / "text")},
        {{"-ryn", "-checkfile=" + (dir / "absent"), "-o", out, prog},
         "-checkfile= names " + (dir / "absent") + ": No such file or directory"},
        {{"-ryn", "-o", out, prog, "-v"}, "the input file must be the last argument: " + prog},
        {{"-ryn", prog, "-o"}, "-o must be followed by the output path"},
        // What an analysis without recorded data passes: no output, no data.
        {{"-ryn", "-bbc", "-error_not_optimizable=on", prog},
         "neither an output file (-o OUTPUT) nor recorded data to analyse "
         "(-xkalfix=use:LOCATION) given"},
    };
    for (const auto& [args, message] : refusals) {
        EXPECT_EQ(failure(args), "morphel: error: " + message + "\n");
    }
    for (const std::string bad : {"1 ryn\n4 unknown record\n", "1 ryn\n3\n", "one ryn\n"}) {
        write_file(info, bad);
        EXPECT_NE(failure({"-ryn", "-ryninfo=" + info, "-o", out, prog})
                      .find("bad run-information record"),
                  std::string::npos)
            << bad;
    }
}

}  // namespace
