// What the driver learns from an ELF file: whether it is a shared object or
// a program (position-independent programs are ET_DYN too), and whether it can
// be instrumented, with what the check says at each level and severity, and
// the records an engine run leaves.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

using namespace ryn_test;
using testing::ExitedWithCode;

namespace {

// A small position-independent program; `annotated` links in kalnote.o, as a
// user prepares a binary.
std::string build_program(const TempDir& dir, const std::string& name, bool annotated) {
    const std::string path = dir / name;
    compile_c(hello_source(name), path, annotated ? kalnote_object() : "");
    return path;
}

// Runs argv, which writes `output`, and returns `output`.
std::string made(const std::vector<std::string>& argv, const std::string& output) {
    const RunResult result = run(argv);
    EXPECT_EQ(result.status, 0) << argv[0] << ": " << result.err;
    return output;
}

// A copy of `input` carrying a signature section.
std::string signed_copy(const TempDir& dir, const std::string& input, const std::string& name) {
    write_file(dir / "signature", "signed by somebody");
    return made(
        {"objcopy", "--add-section", ".QVEN_signature=" + (dir / "signature"), input, dir / name},
        dir / name);
}

TEST(IsSharedObject, OnlyLibrariesAreAndOtherFilesEndTheRunWhenStrict) {
    TempDir dir;
    const std::string pie = build_program(dir, "pie", false);
    // Without a section table the program header still tells.
    const std::string stripped =
        made({"objcopy", "--strip-all", pie, dir / "stripped"}, dir / "stripped");
    const std::string lib = dir / "libq.so";
    compile_c("int q(void) { return 7; }\n", lib, "-shared -fPIC");
    const std::string object = dir / "q.o";
    compile_c("int q(void) { return 7; }\n", object, "-c");
    const std::string text = dir / "notes.txt";
    write_file(text, "not an ELF file\n");

    ExecUtil util("ryn");
    for (const bool strict : {false, true}) {
        for (const std::string& program : {pie, stripped}) {
            EXPECT_FALSE(util.is_shared_object(program.c_str(), strict)) << program;
        }
        EXPECT_TRUE(util.is_shared_object(lib.c_str(), strict));
    }
    EXPECT_FALSE(util.is_shared_object(text.c_str(), false));
    EXPECT_FALSE(util.is_shared_object(object.c_str(), false));
    EXPECT_EXIT(util.is_shared_object(text.c_str(), true), ExitedWithCode(1),
                testing::Eq("ryn (error): Invalid elf file seen on input: " + text + "\n"));
    EXPECT_EXIT(util.is_shared_object(object.c_str(), true), ExitedWithCode(1),
                testing::Eq("ryn (error): Not a binary file: " + object + "\n"));
    const std::string missing = dir / "missing";
    EXPECT_EXIT(util.is_shared_object(missing.c_str(), false), ExitedWithCode(1),
                testing::Eq("ryn (error): Cannot access file seen on input: " + missing +
                            " (errno = 2) No such file or directory\n"));
}

// Whether the file can be instrumented, and what the check said.
using Outcome = std::pair<bool, std::string>;

bool check(ExecUtil& util, const std::string& path, const CheckOptions& o) {
    return util.check_target(path.c_str(), o);
}

Outcome checked(ExecUtil& util, const std::string& path, const CheckOptions& o) {
    testing::internal::CaptureStderr();
    const bool usable = check(util, path, o);
    return {usable, testing::internal::GetCapturedStderr()};
}

struct Files {
    TempDir dir;
    const std::string annotated = build_program(dir, "annotated", true);
    const std::string plain = build_program(dir, "plain", false);
    const std::string stripped =
        made({"objcopy", "--strip-all", annotated, dir / "stripped"}, dir / "stripped");
    const std::string signed_annotated = signed_copy(dir, annotated, "signed_annotated");
    const std::string signed_plain = signed_copy(dir, plain, "signed_plain");
    const std::string instrumented =
        made({stage_lib("morphel"), "-ryn", "-comment=instrumentation args: -a b", "-o",
              dir / "instrumented", annotated},
             dir / "instrumented");
};

class TargetCheck : public ::testing::Test {
protected:
    // Built once; a plain pointer, so that a death test's exit in the child
    // cannot remove the files.
    static void SetUpTestSuite() { f_ = new Files; }
    static void TearDownTestSuite() { delete f_; }
    static const Files* f_;
    ExecUtil util_{"ryn"};
};

const Files* TargetCheck::f_ = nullptr;

std::string prepared(const std::string& path) {
    return "ryn (info): Prepared binary " + path + "\n";
}

std::string signed_warning(const std::string& path, const char* severity = "warning") {
    return "ryn (" + std::string(severity) + "): Instrumenting a signed binary: " + path +
           ". This will invalidate the signature.\n";
}

// One case per branch of the check; "Prepared binary" opens every talkative
// check of an annotated file.
TEST_F(TargetCheck, RefusalsAndWarningsSayWhyOnlyWhenAsked) {
    const std::string& stripped = f_->stripped;
    EXPECT_EQ(checked(util_, stripped, {}), (Outcome{false, ""}));
    EXPECT_EQ(checked(util_, f_->dir.path(), {.level = 1, .write_check = true}),
              (Outcome{false, "ryn (warning): Will not instrument " + f_->dir.path() +
                                  ": Cannot replace.\n\n"}));
    // The signature fixture's content is plain text.
    EXPECT_EXIT(check(util_, f_->dir / "signature", {}), ExitedWithCode(1),
                testing::Eq("ryn (error): Invalid elf file seen on input: " +
                            (f_->dir / "signature") + "\n"));

    bool has = true;
    EXPECT_EQ(checked(util_, f_->plain,
                      {.level = 1, .require_annotations = false, .has_annotations = &has}),
              (Outcome{true, ""}));
    EXPECT_FALSE(has);
    EXPECT_EQ(checked(util_, f_->plain, {.level = 1}),
              (Outcome{false, "ryn (warning): No compiler annotations in the binary " + f_->plain +
                                  ". Please see the documentation for -xkalnote flag.\n"}));
    EXPECT_EQ(checked(util_, f_->annotated, {.has_annotations = &has}), (Outcome{true, ""}));
    EXPECT_TRUE(has);

    EXPECT_EQ(checked(util_, f_->signed_annotated, {}), (Outcome{true, ""}));
    EXPECT_EQ(
        checked(util_, f_->signed_annotated, {.level = 1}),
        (Outcome{true, prepared(f_->signed_annotated) + signed_warning(f_->signed_annotated)}));
    EXPECT_EQ(checked(util_, f_->signed_plain, {.level = 1, .require_annotations = false}),
              (Outcome{true, signed_warning(f_->signed_plain)}));
    for (const std::string& path : {f_->signed_annotated, f_->signed_plain}) {
        EXPECT_EXIT(check(util_, path, {.severity = MSG_ERROR, .require_annotations = false}),
                    ExitedWithCode(1), testing::Eq(signed_warning(path, "error")));
    }

    // -v -v raises a quiet check to level 1.
    util_.very_verbose = true;
    EXPECT_EQ(
        checked(util_, stripped, {}),
        (Outcome{false, "ryn (warning): Cannot instrument stripped binary: " + stripped + "\n"}));
}

TEST_F(TargetCheck, InstrumentedFilesAreNotInstrumentedAgain) {
    // The engine appends its version, then the arguments: read from the end,
    // the arguments come first.
    const std::unique_ptr<ArgCache> records = util_.ryn_comments(f_->instrumented.c_str());
    EXPECT_EQ(std::vector<std::string>(records->begin(), records->end()),
              (std::vector<std::string>{"instrumentation args: -a b", "ryn: morphel 1.0"}));

    bool previously = false;
    const std::string& path = f_->instrumented;
    EXPECT_EQ(checked(util_, path, {.level = 2, .previously_instrumented = &previously}),
              (Outcome{false, prepared(path)}));
    EXPECT_TRUE(previously);
    EXPECT_EQ(checked(util_, path, {.skip_instr_check = true}), (Outcome{true, ""}));
    EXPECT_EQ(checked(util_, path, {.level = 1}),
              (Outcome{false, prepared(path) + "ryn (warning): " + path +
                                  " has been previously instrumented or optimized by memvex, "
                                  "zentor, or kalfix. Will not reinstrument.\n"}));

    ExecUtil zentor("zentor");
    EXPECT_EQ(checked(zentor, path, {.level = 1}).second,
              "zentor (info): Prepared binary " + path +
                  "\nzentor (warning): Zentor instrumentation failed. This can happen if " + path +
                  " is already instrumented. Run the instrumented binary to generate coverage "
                  "data in the directory with the .zt suffix. You can view the coverage report "
                  "using the command : zentor [zentor_flags] <coverage data directory>\n");
}

}  // namespace
