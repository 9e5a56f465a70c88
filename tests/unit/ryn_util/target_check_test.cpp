// The target check: which files can be instrumented, what it says at each
// level and severity, and the shared lock it holds on files in the cache.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"
#include "unit/ryn_util/elf_fixtures.h"
#include "unit/ryn_util/lock_test_helpers.h"

using namespace ryn_test;
using testing::ExitedWithCode;

namespace {

struct Options {
    const char* lock_dir = nullptr;
    int level = 0;
    bool write_check = false;
    bool skip_instr_check = false;
    MESSAGE_TYPE severity = MSG_WARNING;
    bool* previously_instrumented = nullptr;
    bool require_annotations = false;
    bool* has_annotations = nullptr;
};

struct Outcome {
    bool usable;
    std::string err;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << (o.usable ? "usable" : "refused") << ", stderr \"" << o.err << "\"";
}

bool check(ExecUtil& util, const std::string& path, const Options& o) {
    return util.check_target(path.c_str(), o.lock_dir, o.level, o.write_check, o.skip_instr_check,
                             o.severity, o.previously_instrumented, o.require_annotations,
                             o.has_annotations);
}

Outcome checked(ExecUtil& util, const std::string& path, const Options& o) {
    testing::internal::CaptureStderr();
    const bool usable = check(util, path, o);
    return {usable, testing::internal::GetCapturedStderr()};
}

const std::string k_signature_warning = ". This will invalidate the signature.\n";

class TargetCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const TempDir& dir = *dir_;
        annotated_ = build_program(dir, "annotated", true);
        plain_ = build_program(dir, "plain", false);
        stripped_ = objcopy({"--strip-all"}, annotated_, dir / "stripped");
        signed_annotated_ = signed_copy(dir, annotated_, "signed_annotated");
        signed_plain_ = signed_copy(dir, plain_, "signed_plain");
        instrumented_ = with_comment(dir, annotated_, "instrumented",
                                     {"GCC: (Debian 12.2.0-14) 12.2.0", "ryn: morphel 1.0",
                                      "instrumentation args: -a b"});
    }
    static void TearDownTestSuite() { delete dir_; }

    static TempDir* dir_;
    static std::string annotated_, plain_, stripped_, signed_annotated_, signed_plain_,
        instrumented_;
    ExecUtil util_{"ryn"};
};

TempDir* TargetCheck::dir_ = nullptr;
std::string TargetCheck::annotated_, TargetCheck::plain_, TargetCheck::stripped_,
    TargetCheck::signed_annotated_, TargetCheck::signed_plain_, TargetCheck::instrumented_;

TEST_F(TargetCheck, StrippedFilesAreRefused) {
    EXPECT_EQ(checked(util_, stripped_, {}), (Outcome{false, ""}));
    const Outcome loud{false, "ryn (warning): Cannot instrument stripped binary: " + stripped_ + "\n"};
    EXPECT_EQ(checked(util_, stripped_, {.level = 1}), loud);
    // -v -v raises a quiet check to level 1.
    util_.very_verbose = true;
    EXPECT_EQ(checked(util_, stripped_, {}), loud);
}

TEST_F(TargetCheck, AnnotationsAreRequiredOnlyWhenAsked) {
    bool has = true;
    EXPECT_EQ(checked(util_, plain_, {.level = 1, .has_annotations = &has}), (Outcome{true, ""}));
    EXPECT_FALSE(has);
    EXPECT_EQ(checked(util_, plain_, {.require_annotations = true}), (Outcome{false, ""}));
    EXPECT_EQ(checked(util_, plain_, {.level = 1, .require_annotations = true}),
              (Outcome{false, "ryn (warning): No compiler annotations in the binary " + plain_ +
                                  ". Please see the documentation for -xkalnote flag.\n"}));

    EXPECT_EQ(checked(util_, annotated_, {.require_annotations = true, .has_annotations = &has}),
              (Outcome{true, ""}));
    EXPECT_TRUE(has);
    EXPECT_EQ(checked(util_, annotated_, {.level = 1, .require_annotations = true}),
              (Outcome{true, "ryn (info): Prepared binary " + annotated_ + "\n"}));
}

TEST_F(TargetCheck, SignedFilesAreInstrumentedWithAWarning) {
    EXPECT_EQ(checked(util_, signed_annotated_, {}), (Outcome{true, ""}));
    EXPECT_EQ(checked(util_, signed_annotated_, {.level = 1}),
              (Outcome{true, "ryn (info): Prepared binary " + signed_annotated_ +
                                 "\nryn (warning): Instrumenting a signed binary: " +
                                 signed_annotated_ + k_signature_warning}));
    EXPECT_EQ(checked(util_, signed_plain_, {}), (Outcome{true, ""}));
    EXPECT_EQ(checked(util_, signed_plain_, {.level = 1}),
              (Outcome{true, "ryn (warning): Instrumenting a signed binary: " + signed_plain_ +
                                 k_signature_warning}));
}

TEST_F(TargetCheck, ASignatureEndsTheRunWhenTheSeverityIsError) {
    for (const std::string& path : {signed_annotated_, signed_plain_}) {
        EXPECT_EXIT(check(util_, path, {.severity = MSG_ERROR}), ExitedWithCode(1),
                    testing::Eq("ryn (error): Instrumenting a signed binary: " + path +
                                k_signature_warning));
    }
}

TEST_F(TargetCheck, InstrumentedFilesAreNotInstrumentedAgain) {
    bool previously = false;
    EXPECT_EQ(checked(util_, instrumented_, {.level = 2, .previously_instrumented = &previously}),
              (Outcome{false, "ryn (info): Prepared binary " + instrumented_ + "\n"}));
    EXPECT_TRUE(previously);
    EXPECT_EQ(checked(util_, instrumented_, {}), (Outcome{false, ""}));
    EXPECT_EQ(checked(util_, instrumented_, {.skip_instr_check = true}), (Outcome{true, ""}));

    const std::string prepared = "ryn (info): Prepared binary " + instrumented_ + "\n";
    const std::string refusal = "ryn (warning): " + instrumented_ +
                                " has been previously instrumented or optimized by memvex, "
                                "zentor, or kalfix. Will not reinstrument.\n";
    EXPECT_EQ(checked(util_, instrumented_, {.level = 1}), (Outcome{false, prepared + refusal}));
    // From the last record to the first: the engine's version line, then the
    // arguments it was given.
    const std::string records = "ryn: morphel 1.0\ninstrumentation args: -a b\n";
    EXPECT_EQ(checked(util_, instrumented_, {.level = 2}),
              (Outcome{false, prepared + refusal + records}));
    util_.very_verbose = true;
    EXPECT_EQ(checked(util_, instrumented_, {}), (Outcome{false, prepared + refusal + records}));
}

TEST(TargetCheckWording, CoverageFrontEndExplainsWhereTheDataGoes) {
    TempDir dir;
    const std::string instrumented =
        with_comment(dir, build_program(dir, "prog", false), "instrumented", {"ryn: morphel 1.0"});
    ExecUtil util("zentor");
    EXPECT_EQ(checked(util, instrumented, {.level = 1}),
              (Outcome{false,
                       "zentor (warning): Zentor instrumentation failed. This can happen if " +
                           instrumented +
                           " is already instrumented. Run the instrumented binary to generate "
                           "coverage data in the directory with the .zt suffix. You can view the "
                           "coverage report using the command : zentor [zentor_flags] <coverage "
                           "data directory>\n"}));
}

TEST(TargetCheckWriteAccess, AFileThatCannotBeReplacedIsRefused) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string path = build_program(dir, "readonly", true);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    const ChildResult child = in_child(
        [&] {
            ExecUtil util("ryn");
            const bool quiet = check(util, path, {.write_check = true});
            const bool loud = check(util, path, {.level = 1, .write_check = true});
            return !quiet && !loud ? 0 : 1;
        },
        true);
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "ryn (warning): Will not instrument " + path + ": Cannot replace.\n\n");

    ExecUtil util("ryn");
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(checked(util, path, {.level = 1, .write_check = true}),
              (Outcome{true, "ryn (info): Prepared binary " + path + "\n"}));
}

TEST(TargetCheckLocking, FilesInsideTheLockDirectoryAreReadUnderALock) {
    TempDir dir;
    const std::string path = build_program(dir, "prog", true);
    const std::string released = dir / "released";
    Pipe holding;
    const pid_t holder = fork();
    if (holder == 0) {
        ExecUtil util("holder");
        const int fd = util.acquire_lock_file(path.c_str(), false);
        holding.notify();
        usleep(1500000);
        write_file(released, "");
        util.release_lock_file(fd, path.c_str());
        _exit(0);
    }
    ASSERT_TRUE(holding.wait());

    ExecUtil util("ryn");
    // Outside the lock directory the holder is not waited for.
    EXPECT_TRUE(check(util, path, {.lock_dir = (dir / "cache").c_str()}));
    EXPECT_FALSE(exists(released));
    // Inside it, the check waits for the exclusive holder to finish.
    EXPECT_TRUE(check(util, path, {.lock_dir = dir.path().c_str()}));
    EXPECT_TRUE(exists(released));
    EXPECT_EQ(wait_for(holder), 0);
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
}

TEST(TargetCheckLocking, ALockThatCouldNotBeTakenIsNotGivenBack) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string path = build_program(dir, "prog", true);
    ExecUtil util("ryn");
    const int fd = util.acquire_lock_file(path.c_str(), false);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(held_by(path, getpid()));
    // A user who cannot create files next to the target checks it anyway.
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    const ChildResult child = in_child(
        [&] {
            ExecUtil other("ryn");
            return check(other, path, {.lock_dir = dir.path().c_str()}) ? 0 : 1;
        },
        true);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(child.status, 0);
    // One warning for the lock it could not take, and nothing about giving
    // back a lock it never had.
    EXPECT_THAT(child.err, testing::StartsWith("ryn (warning): RYN file access error: "));
    EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'), 1) << child.err;
    EXPECT_TRUE(held_by(path, getpid()));
    util.release_lock_file(fd, path.c_str());
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
}

TEST(TargetCheckLocking, RecordLockSchemeLeavesItsLockFile) {
    TempDir dir;
    const std::string path = build_program(dir, "prog", true);
    ScopedEnv scheme("__RYN_FCNTL_FILE_LOCK__", "1");
    ExecUtil util("ryn");
    const std::string elsewhere = dir / "cache";
    EXPECT_TRUE(check(util, path, {.lock_dir = elsewhere.c_str()}));
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
    EXPECT_TRUE(check(util, path, {.lock_dir = dir.path().c_str()}));
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{"prog.lock"});
}

}  // namespace
