// What the driver learns from an ELF file: shared object or executable,
// class, section contents and the records left by the rewriting engine.
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"
#include "unit/ryn_util/elf_fixtures.h"

using namespace ryn_test;
using testing::ExitedWithCode;

namespace {

class ElfInspect : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const TempDir& dir = *dir_;
        pie_ = build_program(dir, "pie", false);
        no_pie_ = build_program(dir, "no_pie", false, "-no-pie");
        stripped_pie_ = objcopy({"--strip-all"}, pie_, dir / "stripped_pie");
        library_ = dir / "libshared.so";
        compile_c("int shared_value(void) { return 7; }\n", library_, "-shared -fPIC");
        object_ = dir / "object.o";
        compile_c("int object_value(void) { return 7; }\n", object_, "-c");
        object32_ = objcopy({"--strip-debug", "-O", "elf32-i386"}, object_, dir / "object32.o");
        text_ = dir / "notes.txt";
        write_file(text_, "just some text, not an ELF file\n");
    }
    static void TearDownTestSuite() { delete dir_; }

    static const std::string& dir() { return dir_->path(); }

    static TempDir* dir_;
    static std::string pie_, no_pie_, stripped_pie_, library_, object_, object32_, text_;
    ExecUtil util_{"ryn"};
};

TempDir* ElfInspect::dir_ = nullptr;
std::string ElfInspect::pie_, ElfInspect::no_pie_, ElfInspect::stripped_pie_,
    ElfInspect::library_, ElfInspect::object_, ElfInspect::object32_, ElfInspect::text_;

TEST_F(ElfInspect, PositionIndependentExecutablesAreNotSharedObjects) {
    // Make sure the fixture really is the ET_DYN case the rule is about.
    ASSERT_NE(run({"readelf", "-h", pie_}).out.find("DYN"), std::string::npos);
    for (const bool strict : {false, true}) {
        EXPECT_FALSE(util_.is_shared_object(pie_.c_str(), strict));
        EXPECT_FALSE(util_.is_shared_object(stripped_pie_.c_str(), strict));
        EXPECT_FALSE(util_.is_shared_object(no_pie_.c_str(), strict));
        EXPECT_TRUE(util_.is_shared_object(library_.c_str(), strict));
    }
}

TEST_F(ElfInspect, OtherFilesAreNotSharedObjectsOrEndTheRunWhenStrict) {
    EXPECT_FALSE(util_.is_shared_object(text_.c_str(), false));
    EXPECT_FALSE(util_.is_shared_object(object_.c_str(), false));

    EXPECT_EXIT(util_.is_shared_object(text_.c_str(), true), ExitedWithCode(1),
                testing::StartsWith("ryn (error): Invalid elf file seen on input: " + text_));
    EXPECT_EXIT(util_.is_shared_object(object_.c_str(), true), ExitedWithCode(1),
                testing::Eq("ryn (error): Not a binary file: " + object_ + "\n"));
    const std::string missing = dir() + "/missing";
    for (const bool strict : {false, true}) {
        EXPECT_EXIT(util_.is_shared_object(missing.c_str(), strict), ExitedWithCode(1),
                    testing::Eq("ryn (error): Cannot access file seen on input: " + missing +
                                " (errno = 2) No such file or directory\n"));
    }
}

TEST_F(ElfInspect, ReportsTheFileClass) {
    EXPECT_TRUE(util_.is_64_bit_binary(pie_.c_str()));
    EXPECT_TRUE(util_.is_64_bit_binary(object_.c_str()));
    EXPECT_FALSE(util_.is_64_bit_binary(object32_.c_str()));
    EXPECT_EXIT(util_.is_64_bit_binary(text_.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): Error reading elf file " + text_ + "\n\n"));
    const std::string missing = dir() + "/missing";
    EXPECT_EXIT(util_.is_64_bit_binary(missing.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): is_64_bit_binary: fatal error:  (errno = 2) No such "
                            "file or directory\n"));
}

TEST_F(ElfInspect, ExtractsSectionsByExactName) {
    const std::string empty = objcopy({"--add-section", ".empty=/dev/null"}, pie_, dir() + "/empty");
    const std::string sig = signed_copy(*dir_, object32_, "signed32.o");

    std::vector<char> data{'k', 'e', 'e', 'p'};
    int is64 = -1;
    EXPECT_EQ(util_.extract_section_from_elf(pie_.c_str(), ".QVEN_signature", &data, &is64), -1);
    EXPECT_EQ(std::string(data.begin(), data.end()), "keep");
    EXPECT_EQ(is64, 1);
    // A prefix of a section name is not the section.
    EXPECT_EQ(util_.extract_section_from_elf(pie_.c_str(), ".sym", &data, nullptr), -1);

    EXPECT_EQ(util_.extract_section_from_elf(empty.c_str(), ".empty", &data, nullptr), 0);
    EXPECT_TRUE(data.empty());

    EXPECT_EQ(util_.extract_section_from_elf(sig.c_str(), ".QVEN_signature", &data, &is64), 18);
    EXPECT_EQ(std::string(data.begin(), data.end()), "signed by somebody");
    EXPECT_EQ(is64, 0);

    const std::string missing = dir() + "/missing";
    EXPECT_EXIT(util_.extract_section_from_elf(missing.c_str(), ".comment", &data, nullptr),
                ExitedWithCode(1),
                testing::Eq("ryn (error): open call failed on " + missing +
                            " (errno = 2) No such file or directory\n"));
}

std::vector<std::string> records_of(ExecUtil& util, const std::string& path) {
    const std::unique_ptr<ArgCache> records = util.ryn_comments(path.c_str());
    return std::vector<std::string>(records->begin(), records->end());
}

TEST_F(ElfInspect, InstrumentationRecordsComeNewestFirst) {
    const std::string instrumented =
        with_comment(*dir_, pie_, "instrumented", {"ryn: morphel 1.0", "instrumentation args: x"});
    EXPECT_EQ(records_of(util_, instrumented),
              (std::vector<std::string>{"instrumentation args: x", "ryn: morphel 1.0"}));

    // The compiler's own comment holds no label.
    EXPECT_EQ(records_of(util_, pie_), std::vector<std::string>{});
    EXPECT_EQ(records_of(util_, object32_), std::vector<std::string>{});
    EXPECT_EQ(records_of(util_, with_comment(*dir_, pie_, "nul_only", {""})),
              std::vector<std::string>{});

    // Every offset of a string is searched, not only its start: a label behind
    // other text is found from each offset up to the label ("by m": four).
    EXPECT_EQ(records_of(util_, with_comment(*dir_, pie_, "inner_label",
                                             {"GCC: 12", "by memvex: 2", "kalfix: opt"})),
              (std::vector<std::string>{"kalfix: opt", "memvex: 2", "memvex: 2", "memvex: 2",
                                        "memvex: 2"}));
}

}  // namespace
