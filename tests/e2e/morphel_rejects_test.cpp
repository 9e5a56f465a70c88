// The engine stand-in refuses what a real engine could not work with: one
// line on standard error, status 2, and nothing left in the output directory.
#include <dirent.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using ryn_test::run;
using ryn_test::TempDir;

std::string morphel() { return ryn_test::stage_lib("morphel"); }

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            names.insert(entry->d_name);
        }
        closedir(d);
    }
    return names;
}

class MorphelRejects : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ryn_test::compile_c(ryn_test::hello_source("x"), prog_));
        ASSERT_EQ(run({"mkdir", out_dir_}).status, 0);
    }

    // Runs the engine with `args` followed by "-o <out_dir>/copy" and `input`,
    // and checks the failure contract; returns the message.
    std::string expect_failure(std::vector<std::string> args, const std::string& input) {
        args.insert(args.begin(), morphel());
        args.insert(args.end(), {"-o", out_dir_ + "/copy", input});
        const auto result = run(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("morphel: error: ", 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(entries(out_dir_), (std::set<std::string>{".", ".."}));
        return result.err;
    }

    TempDir dir_;
    const std::string prog_ = dir_ / "prog";
    const std::string out_dir_ = dir_ / "out";
};

TEST_F(MorphelRejects, InputThatIsMissingOrNotElf) {
    EXPECT_NE(expect_failure({"-ryn"}, dir_ / "missing").find("missing"), std::string::npos);
    ryn_test::write_file(dir_ / "text", "not a program\n");
    EXPECT_NE(expect_failure({"-ryn"}, dir_ / "text").find("not an ELF file"), std::string::npos);
}

TEST_F(MorphelRejects, MalformedRunInformationFile) {
    const std::string info = dir_ / "info";
    ryn_test::write_file(info, "1 ryn\n3 /opt/x/lib/compilers\n33 parent\n");
    ASSERT_EQ(run({morphel(), "-ryn", "-ryninfo=" + info, "-o", dir_ / "good", prog_}).status, 0);

    for (const std::string bad : {"1 ryn\n4 unknown record\n", "1 ryn\n3\n", "one ryn\n",
                                  "1 ryn\n\n5 v\n"}) {
        SCOPED_TRACE(bad);
        ryn_test::write_file(info, bad);
        expect_failure({"-ryn", "-ryninfo=" + info}, prog_);
    }
    expect_failure({"-ryn", "-ryninfo=" + (dir_ / "no_info")}, prog_);
}

TEST_F(MorphelRejects, NamedFilesMustExist) {
    for (const std::string option : {"-add_depaudit=", "-prepend_dt_needed=", "-blacklist=",
                                     "-blacklist_pfx=", "-checkfile="}) {
        SCOPED_TRACE(option);
        const std::string err = expect_failure({"-ryn", option + (dir_ / "absent")}, prog_);
        EXPECT_NE(err.find(option), std::string::npos) << err;
    }
}

TEST_F(MorphelRejects, MalformedCommandLine) {
    expect_failure({"-ryn", "stray"}, prog_);
    const auto no_output = run({morphel(), "-ryn", prog_});
    EXPECT_EQ(no_output.status, 2);
    const auto dangling = run({morphel(), "-ryn", prog_, "-o"});
    EXPECT_EQ(dangling.status, 2);
    EXPECT_EQ(dangling.err, "morphel: error: -o must be followed by the output path\n");
    const auto not_last = run({morphel(), "-ryn", "-o", out_dir_ + "/copy", prog_, "-v"});
    EXPECT_EQ(not_last.status, 2);
    EXPECT_EQ(entries(out_dir_), (std::set<std::string>{".", ".."}));
}

}  // namespace
