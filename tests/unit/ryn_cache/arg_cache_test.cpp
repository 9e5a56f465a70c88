#include <gtest/gtest.h>

#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"

namespace {

TEST(ArgCacheGrowth, CapacitiesRunFourTenTwentyTwo) {
    ExecUtil util("ryn");
    ArgCache list;
    EXPECT_EQ(list.args, nullptr);
    EXPECT_EQ(list.count, 0);
    list.add_arg("a");
    EXPECT_EQ(list.capacity, 4);
    EXPECT_EQ(list.args[1], nullptr);
    list.add_arg("b");
    list.add_arg("c");
    EXPECT_EQ(list.capacity, 4);
    list.add_arg("d");
    EXPECT_EQ(list.capacity, 10);
    for (int i = 0; i < 6; ++i) {
        list.add_arg("x");
    }
    EXPECT_EQ(list.count, 10);
    EXPECT_EQ(list.capacity, 22);
    EXPECT_EQ(list.args[list.count], nullptr);
}

TEST(ArgCacheRendering, SprintQuotesOnlyACommentPrefix) {
    ExecUtil util("ryn");
    ArgCache list;
    EXPECT_EQ(list.sprint(), "");
    list.add_arg("a");
    list.add_arg("-comment=x y");
    list.add_arg("b");
    EXPECT_EQ(list.sprint(), "a -comment=\"x y\"  b");

    ArgCache spaced;
    spaced.add_arg("-D");
    spaced.add_arg("/tmp/a b");
    spaced.add_arg("");
    EXPECT_EQ(spaced.sprint(), "-D /tmp/a b ");
    EXPECT_EQ(spaced.command_with_unset_ldaudit(), "unset LD_AUDIT; -D /tmp/a b ");

    ArgCache last;
    last.add_arg("-comment=z");
    EXPECT_EQ(last.sprint(), "-comment=\"z\" ");
}

std::string printed(const ArgCache& list, bool quote_comment) {
    char* text = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&text, &size);
    list.print(stream, quote_comment);
    fclose(stream);
    std::string result(text, size);
    free(text);
    return result;
}

TEST(ArgCacheRendering, PrintFindsACommentAnywhereAndEndsEveryString) {
    ExecUtil util("ryn");
    ArgCache list;
    EXPECT_EQ(printed(list, true), "\n");
    list.add_arg("a");
    list.add_arg("lead-comment=x");
    list.add_arg("-comment=x");
    EXPECT_EQ(printed(list, true), "a -comment=\"x\" -comment=\"x\" \n");
    EXPECT_EQ(printed(list, false), "a lead-comment=x -comment=x \n");
}

TEST(ArgCacheSearch, FindsTheFirstExactMatch) {
    ExecUtil util("ryn");
    ArgCache list;
    EXPECT_EQ(list.search_arg("a"), nullptr);
    list.add_arg("a");
    list.add_arg("A");
    list.add_arg("a");
    EXPECT_EQ(list.search_arg(nullptr), nullptr);
    EXPECT_EQ(list.search_arg("a"), list.args[0]);
    EXPECT_EQ(list.search_arg("A"), list.args[1]);
    EXPECT_EQ(list.search_arg("b"), nullptr);

    ArgCache copy;
    copy.add_argslist(&list);
    EXPECT_EQ(copy.sprint(), "a A a");
    EXPECT_NE(copy.args[0], list.args[0]);
}

}  // namespace
