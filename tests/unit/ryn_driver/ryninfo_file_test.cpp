// Which records the run-information file holds, in which order, with which
// values, and how the file itself is made.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ryn/ryn_cache.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "setup_fixture.h"

using setup_test::SetupWorld;

namespace {

using Records = std::vector<std::pair<int, std::string>>;

Records records_of(RynDriver& d, std::string* path = nullptr) {
    const std::string option = d.create_ryninfo_file();
    EXPECT_EQ(option.rfind("-ryninfo=", 0), 0u);
    const std::string file = option.substr(strlen("-ryninfo="));
    if (path) {
        *path = file;
    }
    std::istringstream in(ryn_test::read_file(file));
    Records records;
    int number = 0;
    std::string value;
    while (in >> number && in.get() == ' ' && std::getline(in, value)) {
        records.emplace_back(number, value);
    }
    return records;
}

TEST(RyninfoFile, DefaultRunHoldsTheAlwaysRecordsInOrder) {
    SetupWorld w;
    const std::string prog = w.program();
    const auto d = w.memvex({"-T", "-o", "out", "prog"});
    d->distribute_options();
    d->html_report.reset();  // a checker run always names a report; drop it here
    d->follow_dependencies = true;
    std::string path;
    const Records base{{1, "memvex"}, {3, *d->exec_dir}, {5, memvex_ver_string},
                       {9, d->cache->cache_top()}, {6, "1"}, {21, prog}, {33, "both"},
                       {24, "0"}, {22, "1"}};
    EXPECT_EQ(records_of(*d, &path), base);
    EXPECT_EQ(path.rfind(std::string(P_tmpdir) + "/rninf", 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_STREQ(d->util->temp_files[d->util->temp_files.count - 1], path.c_str());

    // Outside the checker the program's library log is named, and a new
    // file is echoed when commands are.
    d->memvex_front_end = false;
    d->util->very_verbose = true;
    testing::internal::CaptureStderr();
    std::string second;
    const Records general = records_of(*d, &second);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "memvex (info): Creating tempfile: " + second + "\n\n");
    d->util->very_verbose = false;
    ASSERT_EQ(general.size(), base.size() + 1);
    EXPECT_EQ(general[5], (std::pair<int, std::string>{19, d->main_target->original_name + ".liblog"}));
}

TEST(RyninfoFile, ConditionalRecordsFollowTheSettings) {
    SetupWorld w;
    w.program();
    ryn_test::write_file(w.cwd / ".ryn.rc", "set COMMON_FILTERS a:b\n"
                                            "append MEMVEX_IGNORABLE_LIBS libq.so\n");
    const auto d = w.memvex({"-Wd,-z", "-Wd,-z", "-Wd,-z", "-w", "r.txt", "-H", "r.html", "-S",
                             "5", "-e", "6", "-E", "7", "-b", "bb", "-m", "-f", "-Wd,-c", "-F",
                             "parent", "-l", "-N", "libz.so", "-Wd,-a=/an", "prog"});
    d->distribute_options();
    EXPECT_EQ(records_of(*d),
              (Records{{1, "memvex"}, {3, *d->exec_dir}, {5, memvex_ver_string},
                       {7, d->instrument_record.sprint()}, {9, d->cache->cache_top()},
                       {29, "/an"}, {11, "libq.so"}, {11, "libz.so"}, {2, "2"}, {17, "r.txt"},
                       {23, "r.html"}, {6, "1"}, {21, d->main_target->name}, {8, "1"},
                       {33, "parent"}, {25, "a:b"}, {24, "0"}, {10, "5"}, {12, "6"}, {14, "7"},
                       {27, "bb"}, {16, "1"}, {18, "1"}, {20, "1"}}));

    // -K: FILTERS is not taken from the configuration.
    d->read_rc_files = false;
    d->fork_mode = 1;
    const Records without_rc = records_of(*d);
    EXPECT_EQ(without_rc[14], (std::pair<int, std::string>{33, "child"}));
    EXPECT_EQ(without_rc[15].first, 24);
}

}  // namespace
