// The checker runtimes' shared services: settings records, the stack depot
// under threads and allocation-free formatting. Symbolised frames and the
// report's layout are checked on every report of the end-to-end tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "checker_support.h"

namespace {

void parse(const std::string& text) {
    cs_settings = cs_settings_defaults();
    ryn_strlcpy(cs_settings.start_dir, "/start", sizeof cs_settings.start_dir);
    cs_parse_settings(text.data(), text.size());
}

// Each record's effect on a run is the end-to-end tests'; here the ones
// they do not reach: the copy's header lines, report names in subdirectories
// and absolute ones, and kind lists with spaces.
TEST(CheckerSettings, RecordsSetTheirFieldsAndReportNamesResolveAgainstTheStartDirectory) {
    parse(
        "original /bin/prog\nchecker full\nryninfo 27 leak, double-free\n"
        "ryninfo 17 out/report.txt\nryninfo 23 /abs/r.html\n");
    EXPECT_STREQ(cs_settings.program, "/bin/prog");
    EXPECT_EQ(cs_settings.checker_full, 1);
    EXPECT_STREQ(cs_settings.text_report, "/start/out/report.txt");
    EXPECT_STREQ(cs_settings.html_report, "/abs/r.html");
    // Disabled kinds match whole names only.
    EXPECT_TRUE(cs_kind_disabled("leak") && cs_kind_disabled("double-free"));
    EXPECT_FALSE(cs_kind_disabled("free") || cs_kind_disabled("invalid-free") ||
                 cs_kind_disabled("lea"));
}

TEST(CheckerSettings, DefaultsHoldWithoutRecordsAndDepthIsClamped) {
    parse("original /bin/prog\n");
    EXPECT_EQ(cs_settings.stack_depth, 8);
    EXPECT_EQ(cs_settings.error_limit, -1);
    EXPECT_EQ(cs_settings.exit_status, -1);
    EXPECT_EQ(cs_settings.fork_mode, CS_FORK_BOTH);
    EXPECT_EQ(cs_settings.compact, 0);
    parse("ryninfo 10 500\n");
    EXPECT_EQ(cs_settings.stack_depth, CS_MAX_DEPTH);
    parse("ryninfo 10 0\n");
    EXPECT_EQ(cs_settings.stack_depth, 1);
    // Full reports given after compact ones win, as the front end leaves only one.
    parse("ryninfo 20 1\nryninfo 22 1\n");
    EXPECT_EQ(cs_settings.compact, 0);
}

// Programs allocate from one call site through many callers: stacks that
// agree in their innermost frames must keep their own ids, however they
// alternate; a prefix is another stack, and an empty one has none.
TEST(StackDepot, EqualStacksShareOneIdAndOthersKeepTheirOwn) {
    uintptr_t a[] = {0x1000, 0x2000, 0x3000};
    EXPECT_NE(cs_depot_put(a, 2), cs_depot_put(a, 3));
    EXPECT_EQ(cs_depot_put(a, 0), 0u);
    constexpr int k_callers = 40;
    std::vector<uint32_t> first(k_callers);
    for (int round = 0; round < 3; ++round)
        for (int c = 0; c < k_callers; ++c) {
            uintptr_t pcs[] = {0x41000, 0x42000, 0x43000, 0x90000u + (uintptr_t)c * 16};
            uint32_t id = cs_depot_put(pcs, 4);
            ASSERT_NE(id, 0u);
            if (round == 0)
                first[c] = id;
            else
                ASSERT_EQ(id, first[c]) << "caller " << c;
            const uintptr_t* stored = nullptr;
            ASSERT_EQ(cs_depot_get(id, &stored), 4u);
            ASSERT_EQ(stored[3], pcs[3]);
        }
}

TEST(StackDepot, ThreadsInsertingTheSameStacksAgreeOnTheirIds) {
    constexpr int k_threads = 8, k_stacks = 2000;
    std::vector<std::vector<uint32_t>> ids(k_threads, std::vector<uint32_t>(k_stacks));
    std::vector<std::thread> threads;
    for (int t = 0; t < k_threads; ++t) {
        threads.emplace_back([t, &ids] {
            for (int i = 0; i < k_stacks; ++i) {
                // Each thread starts elsewhere; odd threads walk backwards.
                int s = (t % 2 ? k_stacks - 1 - i + t * 251 : i + t * 251) % k_stacks;
                uintptr_t pcs[] = {0x500000u + (uintptr_t)s, 0x7000u, (uintptr_t)s * 3};
                ids[t][s] = cs_depot_put(pcs, 3);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int s = 0; s < k_stacks; ++s) {
        ASSERT_NE(ids[0][s], 0u);
        for (int t = 1; t < k_threads; ++t)
            ASSERT_EQ(ids[t][s], ids[0][s]) << "stack " << s;
    }
}

TEST(TextOut, CollectingBufferCutsAtItsSizeAndFormatsNumbers) {
    char buffer[16];
    ryn_out out;
    ryn_out_init(&out, -1, buffer, sizeof buffer);
    ryn_out_hex(&out, 0xbeef);
    ryn_out_char(&out, ' ');
    ryn_out_dec(&out, -42);
    EXPECT_STREQ(ryn_out_text(&out), "0xbeef -42");
    ryn_out_str(&out, " and much more text");
    EXPECT_EQ(std::strlen(ryn_out_text(&out)), sizeof buffer - 1);
}

}  // namespace
