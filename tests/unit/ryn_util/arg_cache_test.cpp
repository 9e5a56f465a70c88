#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>

#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"

using namespace ryn;

namespace {

ArgCache list_of(std::initializer_list<const char*> words) {
    ArgCache list;
    for (const char* word : words) {
        list.add_arg(word);
    }
    return list;
}

// Strings are copied, and a search answers the first exact match.
TEST(ArgCache, HoldsOwnedCopiesAndFindsTheFirstMatch) {
    ExecUtil util("ryn");
    ArgCache list = list_of({"x", "y"});
    ArgCache copy = list_of({"X", "x"});
    copy.add_argslist(&list);
    EXPECT_EQ(copy.search_arg("x"), copy.args[1]);
    EXPECT_NE(copy.args[2], list.args[0]);
    EXPECT_EQ(copy.args[copy.count], nullptr);
    EXPECT_EQ(copy.search_arg(nullptr), nullptr);
}

// sprint feeds stored signatures and the shell: only a leading "-comment=" is
// quoted. print feeds messages: "-comment=" is found anywhere and every
// string ends in a space.
TEST(ArgCache, SprintAndPrintRenderCommentsDifferently) {
    ExecUtil util("ryn");
    EXPECT_EQ(ArgCache().sprint(), "");
    EXPECT_EQ(list_of({"a", "-comment=x y", "b"}).sprint(), "a -comment=\"x y\"  b");
    EXPECT_EQ(list_of({"-comment=z"}).sprint(), "-comment=\"z\" ");
    const ArgCache spaced = list_of({"-D", "/tmp/a b;$x", ""});
    EXPECT_EQ(spaced.command_with_unset_ldaudit(), "unset LD_AUDIT; -D /tmp/a b;$x ");
    const ArgCache lead = list_of({"a", "lead-comment=x", "-comment=x"});
    EXPECT_EQ(lead.sprint(), "a lead-comment=x -comment=\"x\" ");
    testing::internal::CaptureStderr();
    lead.print(stderr, true);
    lead.print(stderr, false);
    ArgCache().print(stderr, true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "a -comment=\"x\" -comment=\"x\" \na lead-comment=x -comment=x \n\n");
}

}  // namespace
