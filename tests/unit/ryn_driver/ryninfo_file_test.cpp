// Which records the run-information file holds, in which order, with which
// values, and how the file itself is made.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "setup_fixture.h"

using setup_test::SetupWorld;
using setup_test::Strings;

namespace {

using Records = std::vector<std::pair<int, std::string>>;

// Writes the file for `d` and reads its records back.
Records records_of(RynDriver& d, std::string* path = nullptr) {
    const std::string option = d.create_ryninfo_file();
    EXPECT_EQ(option.rfind("-ryninfo=", 0), 0u);
    const std::string file = option.substr(strlen("-ryninfo="));
    if (path) {
        *path = file;
    }
    std::istringstream in(ryn_test::read_file(file));
    Records records;
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        EXPECT_NE(blank, std::string::npos) << line;
        records.emplace_back(std::stoi(line.substr(0, blank)), line.substr(blank + 1));
    }
    return records;
}

std::vector<int> numbers_of(const Records& records) {
    std::vector<int> numbers;
    for (const auto& r : records) {
        numbers.push_back(r.first);
    }
    return numbers;
}

TEST(RyninfoFile, DefaultRunHoldsTheAlwaysRecordsInOrder) {
    SetupWorld w;
    const std::string prog = w.program();
    const auto d = w.memvex({"-T", "-o", "out", "prog"});
    d->distribute_options();
    // A memory-checker run always names a report; without one the file
    // holds only the unconditional records.
    d->html_report.reset();
    // The library log belongs to the general front end only.
    d->follow_dependencies = true;

    std::string path;
    const Records records = records_of(*d, &path);
    EXPECT_EQ(numbers_of(records), (std::vector<int>{1, 3, 5, 9, 6, 21, 33, 24, 22}));
    EXPECT_EQ(records, (Records{{1, "memvex"},
                                {3, *d->exec_dir},
                                {5, memvex_ver_string},
                                {9, d->cache->cache_top()},
                                {6, "1"},
                                {21, prog},
                                {33, "both"},
                                {24, "0"},
                                {22, "1"}}));

    EXPECT_EQ(path.rfind(std::string(P_tmpdir) + "/rninf", 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_STREQ(d->util->temp_files[d->util->temp_files.count - 1], path.c_str());

    // Every file is new, and its name is echoed when commands are.
    d->util->very_verbose = true;
    testing::internal::CaptureStderr();
    std::string second;
    records_of(*d, &second);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "memvex (info): Creating tempfile: " + second + "\n\n");
    EXPECT_NE(second, path);
    d->util->very_verbose = false;
}

TEST(RyninfoFile, ConditionalRecordsFollowTheSettings) {
    SetupWorld w;
    w.program();
    ryn_test::write_file(w.cwd / ".ryn.rc",
                         "set COMMON_FILTERS a:b\n"
                         "append MEMVEX_IGNORABLE_LIBS libq.so\n"
                         "append COMMON_IGNORABLE_LIBS /opt/lib/\n");
    const auto d = w.memvex({"-Wd,-z", "-Wd,-z", "-Wd,-z", "-w", "r.txt", "-H", "r.html", "-S",
                             "5", "-e", "6", "-E", "7", "-b", "bb", "-m", "-f", "-Wd,-c", "-F",
                             "parent", "-l", "-N", "libz.so", "-Wd,-a=/an", "prog"});
    d->distribute_options();

    const Records records = records_of(*d);
    EXPECT_EQ(records, (Records{{1, "memvex"},
                                {3, *d->exec_dir},
                                {5, memvex_ver_string},
                                {7, d->instrument_record.sprint()},
                                {9, d->cache->cache_top()},
                                {29, "/an"},
                                {11, "libq.so"},
                                {11, "/opt/lib/"},
                                {11, "libz.so"},
                                {2, "2"},
                                {17, "r.txt"},
                                {23, "r.html"},
                                {6, "1"},
                                {21, d->main_target->name},
                                {8, "1"},
                                {33, "parent"},
                                {25, "a:b"},
                                {24, "0"},
                                {10, "5"},
                                {12, "6"},
                                {14, "7"},
                                {27, "bb"},
                                {16, "1"},
                                {18, "1"},
                                {20, "1"}}));
    EXPECT_NE(records[3].second.find("-W d,-z -W d,-z"), std::string::npos) << records[3].second;

    // -K: the configuration is not consulted for FILTERS.
    d->read_rc_files = false;
    d->fork_mode = 1;
    const Records without_rc = records_of(*d);
    const std::vector<int> numbers = numbers_of(without_rc);
    EXPECT_EQ(std::count(numbers.begin(), numbers.end(), 25), 0);
    EXPECT_NE(std::find(without_rc.begin(), without_rc.end(), std::pair<int, std::string>{33, "child"}),
              without_rc.end());
}

TEST(RyninfoFile, GeneralFrontEndGetsTheLibraryLogOfItsProgram) {
    SetupWorld w;
    w.program();
    const auto d = w.driver("ryn");
    d->target_path = "prog";
    d->distribute_options();
    ASSERT_FALSE(d->liblog_path);

    d->follow_dependencies = true;
    const Records records = records_of(*d);
    const std::string log = d->main_target->original_name + ".liblog";
    EXPECT_EQ(d->liblog_path, log);
    EXPECT_EQ(numbers_of(records), (std::vector<int>{1, 3, 5, 9, 6, 19, 21, 33, 24, 22}));
    EXPECT_EQ(records[0].second, "ryn");
    EXPECT_EQ(records[2].second, ryn_ver_string);
    EXPECT_EQ(records[5].second, log);

    // No log is made up when instrumentation is off.
    const auto off = w.driver("ryn");
    off->target_path = "prog";
    off->distribute_options();
    off->follow_dependencies = true;
    off->instrument_enabled = false;
    const std::vector<int> numbers = numbers_of(records_of(*off));
    EXPECT_EQ(std::count(numbers.begin(), numbers.end(), 19), 0);
}

}  // namespace
