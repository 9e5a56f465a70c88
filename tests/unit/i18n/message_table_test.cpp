#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "ryn/i18n.h"

namespace {

TEST(MessageTable, RowsAreNumberedForTheCatalogAndNamedByTheirEnumerator) {
    EXPECT_EQ(sizeof I18N_msg / sizeof I18N_msg[0], 131u);
    std::set<std::string> tags;
    for (int i = 0; i < I18N_MSG_COUNT; ++i) {
        SCOPED_TRACE(i);
        const I18nMessage& row = I18N_msg[i];
        ASSERT_NE(row.tag, nullptr);
        ASSERT_NE(row.text, nullptr);
        EXPECT_TRUE(tags.insert(row.tag).second) << "duplicate tag " << row.tag;
        EXPECT_EQ(find_msg_enum(row.tag, 1), i);
        EXPECT_EQ(get_msg_tag(i), row.tag);
        EXPECT_EQ(get_help_tag(i), nullptr);
        EXPECT_EQ(get_msg_severity(i), i == 0 ? 0 : 1);
        if (i <= 112) {
            EXPECT_EQ(row.set, 1);
            EXPECT_EQ(row.number, i);
        } else {
            EXPECT_EQ(row.set, 254);
            EXPECT_EQ(row.number, i - 112);
        }
        // Every row has a sentence of its own, never its bare tag.
        EXPECT_STRNE(row.text, row.tag);
    }
}

TEST(MessageTable, EnumeratorsMatchTheirRows) {
    EXPECT_STREQ(get_msg_tag(RYN_NO_USE), "RYN_NO_USE");
    EXPECT_EQ(RYN_NO_USE, 88);
    EXPECT_STREQ(get_msg_tag(MEMVEX_CANNOT_REDIRECT), "MEMVEX_CANNOT_REDIRECT");
    EXPECT_EQ(I18N_msg[MEMVEX_CANNOT_REDIRECT].number, 1);
    EXPECT_STREQ(get_msg_tag(RYN_W_NO_ANNOTATIONS_LITE_MODE), "RYN_W_NO_ANNOTATIONS_LITE_MODE");
    EXPECT_EQ(I18N_msg[RYN_W_NO_ANNOTATIONS_LITE_MODE].number, 18);
    EXPECT_STREQ(get_msg_tag(CALL_FAILED_STRING_PARAM), "CALL_FAILED_STRING_PARAM");
}

TEST(MessageTable, WithoutACatalogTheDefaultTextsAreUsed) {
    ASSERT_EQ(get_catd(), reinterpret_cast<nl_catd>(-1));
    EXPECT_STREQ(get_msg(RYN_NO_USE), "Will not analyze %s: Not instrumented.\n");
    EXPECT_STREQ(get_msg(MESSAGENOZEROISNOTUSED), "Error: Message number 0 used");
    EXPECT_STREQ(get_msg(RYN_CANNOT_EXECUTE), "cannot execute %s.");
    EXPECT_STREQ(get_msg(CALL_FAILED_STRING_PARAM), "%s call failed on %s");
    EXPECT_STREQ(get_msg(FILE_LOCK_FAILED),
                 "Process %d: Lock failed on %s. Skipping file lock. Multiprocess "
                 "environment could lead to bad runs\n");
}

TEST(MessageTable, FindMsgEnumAnswersZeroForEveryMiss) {
    EXPECT_EQ(find_msg_enum("RYN_NO_USE", 1), 88);
    EXPECT_EQ(find_msg_enum("MESSAGENOZEROISNOTUSED", 1), 0);
    EXPECT_EQ(find_msg_enum("RYN_W_NO_ANNOTATIONS_LITE_MODE", 1), 130);
    EXPECT_EQ(find_msg_enum("NO_SUCH_TAG", 1), 0);
    EXPECT_EQ(find_msg_enum("ryn_no_use", 1), 0);
    EXPECT_EQ(find_msg_enum("RYN_NO_USE", 3), 0);
    EXPECT_EQ(find_msg_enum("RYN_NO_USE", 0), 0);
    // Help tags are all null, so kind 2 never matches.
    EXPECT_EQ(find_msg_enum("RYN_NO_USE", 2), 0);
    EXPECT_EQ(find_msg_enum("", 2), 0);
}

}  // namespace
