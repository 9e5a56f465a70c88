// The getting-started guide works as written: every command block runs, in
// order and in one shell, from a checkout whose _install is the staged tree,
// and each ends with the exit status and shows the line that the guide's
// comment after it promises.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

struct Block {
    std::string commands;
    int status;
    std::string expected;  // a regular expression one output line must match
};

std::vector<Block> guide_blocks(const std::string& guide) {
    std::vector<Block> blocks;
    const std::regex block(R"(```sh\n([\s\S]*?)```\n(<!-- expect: (\d+) (.*) -->\n)?)");
    for (std::sregex_iterator it(guide.begin(), guide.end(), block), end; it != end; ++it) {
        const std::smatch& m = *it;
        EXPECT_TRUE(m[2].matched) << "a block without its expectation:\n" << m[1];
        if (m[2].matched) {
            blocks.push_back({m[1], std::stoi(m[3]), m[4]});
        }
    }
    return blocks;
}

bool some_line_matches(const std::string& text, const std::string& pattern) {
    const std::regex expected(pattern);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, expected)) {
            return true;
        }
    }
    return false;
}

TEST(GettingStarted, EveryCommandBlockRunsAsTheGuideSays) {
    const std::string guide =
        ryn_test::read_file(std::string(RYN_SOURCE_DIR) + "/docs/getting-started.md");
    const std::vector<Block> blocks = guide_blocks(guide);
    ASSERT_GE(blocks.size(), 8u);

    // A checkout after the README's set-up, as far as the guide can tell.
    const ryn_test::TempDir top;
    const std::string checkout = top.path() + "/checkout";
    std::filesystem::create_directory(checkout);
    std::filesystem::create_directory_symlink(ryn_test::stage_dir(), checkout + "/_install");
    std::filesystem::create_directory_symlink(std::string(RYN_SOURCE_DIR) + "/samples",
                                              checkout + "/samples");

    // The blocks are sourced one after another so that what one sets (the
    // directory, variables) holds for the next, as in the reader's shell.
    std::string driver;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::string name = top.path() + "/block" + std::to_string(i);
        ryn_test::write_file(name + ".sh", blocks[i].commands);
        driver += ". '" + name + ".sh' >'" + name + ".out' 2>&1; echo $? >'" + name + ".status'\n";
    }
    const ryn_test::RunResult run =
        ryn_test::run({"bash", "--norc", "-c", driver},
                      {"HOME=" + top.path(), "TMPDIR=" + top.path(), "LC_ALL=C"}, checkout);
    ASSERT_EQ(run.status, 0) << run.err;

    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::string name = top.path() + "/block" + std::to_string(i);
        const std::string output = ryn_test::read_file(name + ".out");
        const std::string status = ryn_test::read_file(name + ".status");
        EXPECT_EQ(status, std::to_string(blocks[i].status) + "\n") << blocks[i].commands << output;
        EXPECT_TRUE(some_line_matches(output, blocks[i].expected))
            << blocks[i].expected << " not in the output of\n"
            << blocks[i].commands << output;
    }
}

}  // namespace
