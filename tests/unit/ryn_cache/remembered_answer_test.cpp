// A remembered answer is given back only while every file it depends on is
// the one it was asked of, and only files safely older than the question are
// remembered at all.
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/ryn_cache/remembered_answer.h"
#include "support/test_support.h"

namespace {

using ryn::RememberedAnswer;

class RememberedAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        ryn_test::write_file(engine, "engine 1");
        ryn_test::write_file(library, "library 1");
    }

    static void wait_past_margin() {
        std::this_thread::sleep_for(std::chrono::seconds(ryn::k_identity_margin_seconds) +
                                    std::chrono::milliseconds(300));
    }

    // What a fresh run recalls for `question` about both files.
    std::optional<std::string> recall(const std::string& question = "-ryn") {
        RememberedAnswer memory(record, question, {engine, library});
        return memory.recall();
    }

    void remember(const std::string& answer, const std::string& question = "-ryn") {
        RememberedAnswer memory(record, question, {engine, library});
        memory.recall();
        memory.remember(answer);
    }

    ryn_test::TempDir dir;
    std::string engine = dir / "engine";
    std::string library = dir / "lib.so";
    std::string record = dir / "answer";
};

TEST_F(RememberedAnswers, YoungFilesAreAskedEveryTime) {
    remember("ryn: morphel 1.0");
    EXPECT_FALSE(recall());
}

TEST_F(RememberedAnswers, AnswerHoldsOnlyForTheSameFilesAndQuestion) {
    wait_past_margin();
    EXPECT_FALSE(recall());
    remember("ryn: morphel 1.0");
    EXPECT_EQ(recall(), "ryn: morphel 1.0");
    EXPECT_FALSE(recall("-ped"));
    // Another file list under the same record name.
    EXPECT_FALSE(RememberedAnswer(record, "-ryn", {engine}).recall());
    EXPECT_FALSE(RememberedAnswer(record, "-ryn", {library, engine}).recall());

    // Damage anywhere, the answer included, is caught by the check.
    const std::string good = ryn_test::read_file(record);
    for (const std::string& damaged :
         {good.substr(0, good.size() - 2), good + "x\n", std::string("ryn-answer 1\n")}) {
        ryn_test::write_file(record, damaged);
        EXPECT_FALSE(recall());
    }
    std::string other_answer = good;
    other_answer[other_answer.find("1.0")] = '2';
    ryn_test::write_file(record, other_answer);
    EXPECT_FALSE(recall());

    // A chmod to the same mode moves only the change time: asked again, and
    // the new answer is not kept while the change is recent.
    ryn_test::write_file(record, good);
    ASSERT_EQ(chmod(library.c_str(), 0644), 0);
    EXPECT_FALSE(recall());
    remember("ryn: morphel 2.0");
    EXPECT_FALSE(recall());
}

TEST_F(RememberedAnswers, FileChangedWhileAskingIsNotRemembered) {
    wait_past_margin();
    RememberedAnswer memory(record, "-ryn", {engine, library});
    EXPECT_FALSE(memory.recall());
    ryn_test::write_file(engine, "engine 2, longer");
    memory.remember("ryn: morphel 1.0");
    EXPECT_FALSE(recall());
}

TEST_F(RememberedAnswers, CommandNamesAndMultiLineAnswersAreNeverKept) {
    wait_past_margin();
    // A name without a slash is found on the search path, not here.
    const ryn_test::ScopedChdir in_dir(dir.path());
    RememberedAnswer by_name(record, "-ryn", {"engine"});
    by_name.recall();
    by_name.remember("ryn: morphel 1.0");
    EXPECT_FALSE(RememberedAnswer(record, "-ryn", {"engine"}).recall());

    remember("line one\nline two");
    EXPECT_FALSE(recall());
}

}  // namespace
