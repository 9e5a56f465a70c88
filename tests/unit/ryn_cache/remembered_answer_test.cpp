// A remembered answer holds only for the question and the very files it was
// given for, and a file the shell would look up by name is never remembered.
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/ryn_cache/remembered_answer.h"
#include "support/test_support.h"

namespace {

using ryn::RememberedAnswer;

TEST(RememberedAnswers, KeptOnlyForTheSameQuestionAndUnchangedFiles) {
    ryn_test::TempDir dir;
    const std::string engine = dir / "engine";
    const std::string library = dir / "lib.so";
    const std::string record = dir / "answer";
    ryn_test::write_file(engine, "engine 1");
    ryn_test::write_file(library, "library 1");
    ryn_test::write_file(dir / "named", "engine 1");
    std::this_thread::sleep_for(std::chrono::seconds(ryn::k_identity_margin_seconds) +
                                std::chrono::milliseconds(300));
    const auto recall = [&](const std::string& question, std::vector<std::string> files) {
        return RememberedAnswer(record, question, std::move(files)).recall();
    };

    RememberedAnswer asked(record, "-ryn", {engine, library});
    EXPECT_FALSE(asked.recall());
    asked.remember("ryn: morphel 1.0");
    EXPECT_EQ(recall("-ryn", {engine, library}), "ryn: morphel 1.0");
    EXPECT_FALSE(recall("-ped", {engine, library}));
    EXPECT_FALSE(recall("-ryn", {library, engine}));
    EXPECT_FALSE(recall("-ryn", {engine}));

    // A chmod to the same mode moves only the change time.
    ASSERT_EQ(chmod(library.c_str(), 0644), 0);
    EXPECT_FALSE(recall("-ryn", {engine, library}));

    // A name without a slash is found on the search path, not here.
    const ryn_test::ScopedChdir in_dir(dir.path());
    RememberedAnswer by_name(record, "-ryn", {"named"});
    by_name.recall();
    by_name.remember("ryn: morphel 1.0");
    EXPECT_FALSE(recall("-ryn", {"named"}));
}

}  // namespace
