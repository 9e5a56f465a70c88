// Which records the run-information file holds, in which order, with which
// values, and where the file is made.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ryn/ryn_cache.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "setup_fixture.h"

using namespace ryn;

namespace {

using Records = std::vector<std::pair<int, std::string>>;

// The file's text when it holds `records`, in this order.
std::string text_of(const Records& records) {
    std::string text;
    for (const auto& [number, value] : records) {
        text += std::to_string(number) + " " + value + "\n";
    }
    return text;
}

std::string written(RynDriver& d) {
    const std::string option =
        create_ryninfo_file(d.options(), d.tool_args(), d.locations(), d.state(), d.util());
    const ArgCache& temp_files = d.util().temp_files;
    EXPECT_EQ(option, std::string("-ryninfo=") + temp_files[temp_files.count - 1]);
    return ryn_test::read_file(option.substr(9));
}

TEST(RyninfoFile, RecordsFollowTheSettingsInTableOrder) {
    const setup_test::SetupWorld w;
    const ryn_test::TempDir tmp;
    const ryn_test::ScopedEnv tmpdir("TMPDIR", tmp.path().c_str());
    const std::string prog = w.program();
    const auto d = w.memvex({"-T", "-o", "out", "prog"});
    distribute(*d);
    d->options().memvex.html_report.reset();  // a checker run always names a report; drop it here
    const std::string exec_dir = *d->locations().exec_dir;
    const std::string cache_top = d->state().cache->cache_top();
    EXPECT_EQ(written(*d), text_of({{1, "memvex"},
                                    {3, exec_dir},
                                    {5, memvex_ver_string},
                                    {9, cache_top},
                                    {6, "1"},
                                    {21, prog},
                                    {33, "both"},
                                    {24, "0"},
                                    {22, "1"}}));
    EXPECT_EQ(std::string(d->util().temp_files[0]).rfind(tmp.path() + "/rninf", 0), 0u);

    ryn_test::write_file(w.cwd / ".ryn.rc",
                         "set COMMON_FILTERS a:b\n"
                         "append MEMVEX_IGNORABLE_LIBS libq.so\n");
    const auto all = w.memvex(
        {"-Wd,-z", "-Wd,-z", "-Wd,-z", "-w", "r.txt",   "-H",         "r.html", "-S", "5",
         "-e",     "6",      "-E",     "7",  "-b",      "bb",         "-m",     "-f", "-Wd,-c",
         "-F",     "parent", "-l",     "-N", "libz.so", "-Wd,-a=/an", "prog"});
    distribute(*all);
    EXPECT_EQ(written(*all), text_of({{1, "memvex"},
                                      {3, exec_dir},
                                      {5, memvex_ver_string},
                                      {7, all->tool_args().instrument_record.sprint()},
                                      {9, cache_top},
                                      {29, "/an"},
                                      {11, "libq.so"},
                                      {11, "libz.so"},
                                      {2, "2"},
                                      {17, "r.txt"},
                                      {23, "r.html"},
                                      {6, "1"},
                                      {21, prog},
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
}

}  // namespace
