// Data files are read exactly as the runtime writes them, refused when
// malformed or recorded from another build, and merged per object.
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "coverage/coverage_error.h"
#include "coverage/data_loader.h"
#include "coverage/instr_data.h"
#include "support/instrdata_fixture.h"
#include "support/test_support.h"

using coverage::Block;
using coverage::CoverageError;
using coverage::InstrData;

namespace {

const std::string k_digest = "0123456789abcdef0123456789abcdef";

std::string data_text(const std::string& blocks, const std::string& count = "2",
                      const std::string& branches = "branches 0\ncalls 0\nindirect 0\n") {
    return "ryn-instrdata 3\nobject /a/lib x.so\ndigest " + k_digest +
           "\nprogram prog\ncounts exact\nblocks " + count + "\n" + blocks + branches;
}

const std::string k_two_branches =
    "branches 2\n"
    "1145\t1139\t3\t1\n"
    "1150\t1148\t0\t18446744073709551615\n"
    "calls 1\n"
    "1139\t2\n"
    "indirect 2\n"
    "1145\t0\t1\t\n"
    "1145\t29a0\t3\t/lib/libc.so.6\n";

const std::string k_two_blocks =
    "1139\t3\t2\t3\t4\tsq\t/src/my file.c\n"
    "1148\t5\t5\t1\t0\tmain\t/src/my file.c\n";

InstrData parse(const std::string& text) {
    std::istringstream in(text);
    return coverage::parse_instr_data(in, "run.instrdata");
}

// The message of the error `action` throws, or "accepted".
template <typename Action>
std::string error_of(Action action) {
    try {
        action();
    } catch (const CoverageError& error) {
        return error.what();
    }
    return "accepted";
}

std::string parse_error(const std::string& text) {
    return error_of([&] { parse(text); });
}

TEST(DataFile, ReadsEveryFieldAndWritesTheSameText) {
    const InstrData data = parse(data_text(k_two_blocks, "2", k_two_branches));
    EXPECT_EQ(data.object, "/a/lib x.so");
    EXPECT_EQ(data.digest, k_digest);
    EXPECT_EQ(data.program, "prog");
    ASSERT_EQ(data.blocks.size(), 2u);
    const Block& sq = data.blocks[0];
    EXPECT_EQ(std::tie(sq.addr, sq.insn_count, sq.line, sq.flags, sq.count, sq.function, sq.file),
              std::make_tuple(0x1139u, 3u, 2u, 3u, 4u, "sq", "/src/my file.c"));
    EXPECT_TRUE(sq.is_function_entry());
    EXPECT_FALSE(data.blocks[1].executed());
    EXPECT_TRUE(data.counts_exact);
    EXPECT_EQ(data.block_at(0x1148), &data.blocks[1]);
    EXPECT_EQ(data.block_at(0x1140), nullptr);
    EXPECT_EQ(std::tie(data.branches[1].not_taken, data.calls[0].calls, data.indirect[1].target,
                       data.indirect[1].object),
              std::make_tuple(UINT64_MAX, 2u, 0x29a0u, "/lib/libc.so.6"));

    std::ostringstream written;
    coverage::write_instr_data(written, data);
    EXPECT_EQ(written.str(), data_text(k_two_blocks, "2", k_two_branches));

    // A function name with blanks (a demangled one) stays whole.
    EXPECT_EQ(parse(data_text("10\t1\t0\t0\t0\tf(int, char)\t\n", "1")).blocks[0].function,
              "f(int, char)");
}

TEST(DataFile, MalformedDataIsRefusedWithTheFileAndLine) {
    std::string upper = data_text(k_two_blocks);
    upper.replace(upper.find("abcdef"), 6, "ABCDEF");
    const std::pair<std::string, std::string> refusals[] = {
        {"ryn-instrdata 2\n", "line 1: expected \"ryn-instrdata 3\""},
        {"", "ends before the header"},
        {upper, "line 3: the digest must be 32 lowercase hex digits"},
        {data_text(k_two_blocks, "2", k_two_branches + "x\n"), "line 17: more lines than"},
        {data_text(k_two_blocks, "2", "branches 1\n1145\t1139\t3\ncalls 0\n"), "a branch needs 4"},
        {data_text(k_two_blocks, "2", "branches 0\ncalls 1\n1139\n"), "calls need 2"},
        {data_text(k_two_blocks, "2", "branches 0\ncalls 0\nindirect 1\n1145\t29a0\t3\t\n"),
         "a target needs its object"},
        {"ryn-instrdata 3\nobject o\ndigest " + k_digest + "\nprogram p\ncounts some\n",
         "line 5: expected \"counts exact\" or \"counts runs\""},
        {data_text("1139\t3\t2\t3\t4\tsq\n", "1"), "line 7: a block needs 7"},
        {data_text("1139\t3\t2\t3\t-4\tsq\tf.c\n", "1"), "bad count \"-4\""},
        {data_text("1148\t1\t1\t0\t0\tf\tf.c\n1139\t1\t1\t0\t0\tf\tf.c\n"),
         "line 8: blocks addresses must ascend"},
    };
    for (const auto& [text, reason] : refusals) {
        EXPECT_EQ(parse_error(text).rfind("run.instrdata: malformed instrumentation data: ", 0), 0u)
            << text;
        EXPECT_NE(parse_error(text).find(reason), std::string::npos) << parse_error(text);
    }
}

TEST(TargetData, AFileOrEveryDataFileOfADirectoryIsMergedAndConflictsAreRefused) {
    ryn_test::TempDir dir;
    const std::string target = dir / "libq.so";
    ryn_test::write_file(target, "build one");
    const std::vector<Block> blocks = {Block{0x10, 2, 1, 1, 1, "f", "f.c"},
                                       Block{0x20, 3, 2, 0, 0, "f", "f.c"}};
    const std::string single = dir / "single/prog.instrdata";
    ryn_test::write_instrdata(single, ryn_test::instrdata_for(target, blocks));
    EXPECT_EQ(coverage::load_target_data(target, single).blocks[0].count, 1u);

    // Two programs' runs of one library: counts add up, blocks unite.
    std::vector<Block> other = {Block{0x20, 3, 2, 0, 2, "f", "f.c"},
                                Block{0x30, 1, 3, 0, 1, "g", "f.c"}};
    ryn_test::write_instrdata(dir / "lib/a.instrdata",
                              ryn_test::instrdata_for(target, blocks, "a"));
    ryn_test::write_instrdata(dir / "lib/b.instrdata", ryn_test::instrdata_for(target, other, "b"));
    ryn_test::write_file(dir / "lib/notes.txt", "not data");
    const InstrData merged = coverage::load_target_data(target, dir / "lib");
    ASSERT_EQ(merged.blocks.size(), 3u);
    EXPECT_EQ(merged.blocks[0].count, 1u);
    EXPECT_EQ(merged.blocks[1].count, 2u);
    EXPECT_EQ(merged.blocks[2].function, "g");

    // Branch counts add up too, saturating; one run of the coverage way
    // makes the merged counts inexact.
    InstrData counted = ryn_test::instrdata_for(target, blocks);
    counted.branches = {coverage::Branch{0x14, 0x10, UINT64_MAX - 1, 3}};
    counted.calls = {coverage::EntryCalls{0x10, 4}};
    InstrData covered = counted;
    covered.counts_exact = false;
    covered.branches[0].taken = 5;
    covered.blocks[0].count = UINT64_MAX;
    const InstrData both = coverage::merge_instr_data({counted, covered});
    EXPECT_EQ(std::tie(both.branches[0].taken, both.branches[0].not_taken, both.blocks[0].count),
              std::make_tuple(UINT64_MAX, 6u, UINT64_MAX));
    EXPECT_EQ(both.calls[0].calls, 8u);
    EXPECT_FALSE(both.counts_exact);
    EXPECT_TRUE(coverage::merge_instr_data({counted, counted}).counts_exact);

    EXPECT_EQ(error_of([&] { coverage::load_target_data(target, dir / "none"); }),
              "no instrumentation data for " + target + " at " + dir / "none");

    InstrData moved = counted, rebuilt = counted;
    moved.blocks[1].line = 9;
    rebuilt.digest = k_digest;
    EXPECT_THROW(coverage::merge_instr_data({counted, moved}), CoverageError);
    EXPECT_THROW(coverage::merge_instr_data({counted, rebuilt}), CoverageError);
}

}  // namespace
