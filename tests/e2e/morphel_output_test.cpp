// The engine stand-in's copies: still runnable, same permissions, carrying
// the version and argument records last in .comment; its use mode; its
// version answer.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using ryn_test::compile_c;
using ryn_test::run;
using ryn_test::TempDir;

std::string morphel() { return ryn_test::stage_lib("morphel"); }

// The strings of .comment, in section order.
std::vector<std::string> comment_strings(const std::string& path) {
    const ryn_test::RunResult dump = ryn_test::run({"readelf", "-p", ".comment", path});
    std::vector<std::string> strings;
    size_t at = 0;
    while ((at = dump.out.find("  [", at)) != std::string::npos) {
        const size_t text = dump.out.find("]  ", at);
        const size_t end = dump.out.find('\n', text);
        strings.push_back(dump.out.substr(text + 3, end - text - 3));
        at = end;
    }
    return strings;
}

std::vector<std::string> last_two(const std::vector<std::string>& strings) {
    if (strings.size() < 2) {
        return strings;
    }
    return {strings.end() - 2, strings.end()};
}

mode_t permissions(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(MorphelOutput, ProgramsStayRunnableAndCarryBothRecords) {
    TempDir dir;
    for (const std::string flags : {"", "-no-pie"}) {
        SCOPED_TRACE("flags: " + flags);
        const std::string prog = dir / ("prog" + flags);
        ASSERT_TRUE(compile_c(ryn_test::hello_source("still here"), prog, flags));
        chmod(prog.c_str(), 0750);
        const std::string out = prog + ".instr";
        const auto result = run({morphel(), "-ryn", "-xkalfix=instrument:./p.instrdata",
                                 "-comment=instrumentation args: -ryn -global_auditing",
                                 "-o", out, prog});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(run({out}).out, "still here\n");
        EXPECT_EQ(permissions(out), 0750u);
        EXPECT_EQ(last_two(comment_strings(out)),
                  (std::vector<std::string>{"ryn: morphel 1.0",
                                            "instrumentation args: -ryn -global_auditing"}));
    }
}

TEST(MorphelOutput, SharedLibraryStillLoads) {
    TempDir dir;
    const std::string lib = dir / "libq.so";
    ASSERT_TRUE(compile_c("int q_value(void) { return 42; }\n", lib, "-shared -fPIC"));
    const std::string copy_dir = dir / "copy";
    ASSERT_EQ(run({"mkdir", copy_dir}).status, 0);
    const auto result = run({morphel(), "-ped", "-comment=lib", "-o", copy_dir + "/libq.so", lib});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(last_two(comment_strings(copy_dir + "/libq.so")),
              (std::vector<std::string>{"memvex: morphel 1.0", "lib"}));

    const std::string prog = dir / "uses_q";
    ASSERT_TRUE(compile_c("#include <stdio.h>\nint q_value(void);\n"
                          "int main(void) { printf(\"%d\\n\", q_value()); return 0; }\n",
                          prog, "-L" + dir.path() + " -lq"));
    const auto loaded = run({prog}, {"LD_LIBRARY_PATH=" + copy_dir});
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.out, "42\n");
}

TEST(MorphelOutput, CommentCreatedWhenMissingAndAppendedOnEveryRun) {
    TempDir dir;
    const std::string prog = dir / "prog";
    ASSERT_TRUE(compile_c(ryn_test::hello_source("bare"), prog));
    ASSERT_EQ(run({"objcopy", "--remove-section", ".comment", prog}).status, 0);
    ASSERT_TRUE(comment_strings(prog).empty());

    ASSERT_EQ(run({morphel(), "-ryn", "-comment=first", "-o", prog + ".1", prog}).status, 0);
    ASSERT_EQ(run({morphel(), "-ped=lite", "-comment=second", "-o", prog + ".2", prog + ".1"}).status,
              0);
    EXPECT_EQ(comment_strings(prog + ".2"),
              (std::vector<std::string>{"ryn: morphel 1.0", "first", "memvex: morphel 1.0",
                                        "second"}));
    EXPECT_EQ(run({prog + ".2"}).out, "bare\n");
    // A copy over its own input is replaced whole.
    ASSERT_EQ(run({morphel(), "-ryn", "-comment=third", "-o", prog + ".2", prog + ".2"}).status, 0);
    EXPECT_EQ(comment_strings(prog + ".2").size(), 6u);
    EXPECT_EQ(run({prog + ".2"}).out, "bare\n");
}

TEST(MorphelOutput, VersionQueryFollowsTheModeSwitch) {
    EXPECT_EQ(run({morphel(), "-ryn", "-V"}).out, "ryn: morphel 1.0\n");
    EXPECT_EQ(run({morphel(), "-ped", "-V"}).out, "memvex: morphel 1.0\n");
    const auto lite = run({morphel(), "-ped=lite", "-V"});
    EXPECT_EQ(lite.status, 0);
    EXPECT_EQ(lite.out, "memvex: morphel 1.0\n");
    EXPECT_EQ(lite.err, "");
}

TEST(MorphelOutput, UseModeReportsAnalysesAndData) {
    TempDir dir;
    const std::string prog = dir / "prog";
    ASSERT_TRUE(compile_c(ryn_test::hello_source("x"), prog));
    const std::string data = dir / "prog.instrdata";
    ASSERT_EQ(run({"mkdir", "-p", data + "/prog.instrdata"}).status, 0);
    ryn_test::write_file(data + "/prog.instrdata/counts", "12345");

    const std::vector<std::string> args = {morphel(), "-ryn", "-bbc=main", "-function", "-bcc",
                                           "-xkalfix=use:" + data, "-error_not_optimizable=off",
                                           "-last_fg=0"};
    std::vector<std::string> to_stdout = args;
    to_stdout.push_back(prog);
    const auto report = run(to_stdout);
    ASSERT_EQ(report.status, 0) << report.err;
    EXPECT_NE(report.out.find("-bbc=main -function -bcc"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find(data), std::string::npos);
    EXPECT_NE(report.out.find(data + "/prog.instrdata/counts 5\n"), std::string::npos)
        << report.out;

    std::vector<std::string> to_file = args;
    to_file.push_back("-out=" + (dir / "report.txt"));
    to_file.push_back(prog);
    const auto quiet = run(to_file);
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(ryn_test::read_file(dir / "report.txt"), report.out);
}

TEST(MorphelOutput, UseModeWithOutputWritesAnOptimizedCopy) {
    TempDir dir;
    const std::string prog = dir / "prog";
    ASSERT_TRUE(compile_c(ryn_test::hello_source("optimized"), prog, "-no-pie"));
    const auto result = run({morphel(), "-ryn", "-optlevel=2", "-o", dir / "fast",
                             "-xkalfix=use:" + (dir / "none"), "-error_not_optimizable=on", prog});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(run({dir / "fast"}).out, "optimized\n");
    EXPECT_EQ(last_two(comment_strings(dir / "fast")),
              (std::vector<std::string>{"ryn: morphel 1.0", "kalfix: optimized from " + prog}));
}

}  // namespace
