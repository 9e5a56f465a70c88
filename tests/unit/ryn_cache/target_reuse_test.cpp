// A target's cached copy: reused when the same engine made it with the same
// command line, kept apart per checking kind, and refused for unusable paths.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "ryn/arg_cache.h"
#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;

namespace {

using namespace ryn_test;

using TargetReuse = cache_test::CacheFixture;

TEST_F(TargetReuse, CopyMadeByThisEngineWithTheSameCommandLineIsReused) {
    open_cache();
    Target* t = add(prog);
    ASSERT_EQ(run({stage_lib("morphel"), "-ryn", "-comment=instrumentation args: -ryn", "-o",
                   t->cached_name, prog})
                  .status,
              0);
    t->write_stamp();
    // The engine's path stays one word for the shell that asks its version.
    const std::string morphel = dir / "my engine";
    ASSERT_EQ(symlink(stage_lib("morphel").c_str(), morphel.c_str()), 0);
    ArgCache signature;
    signature.add_arg("-ryn");
    EXPECT_FALSE(t->should_rebuild(&signature, morphel.c_str(), false));
}

// A library's copy for full checking and its write-only copy live apart.
TEST_F(TargetReuse, FullAndWriteOnlyCopiesLiveApart) {
    const std::string lib = library("q");
    open_cache("memvex");
    const std::string write_only = add(lib, false)->cached_name;
    policy.check_all_libraries = true;
    reopen_cache();
    const std::string full = add(lib, false)->cached_name;
    ASSERT_TRUE(write_only.ends_with("_w/libq.so")) << write_only;
    EXPECT_EQ(full, write_only.substr(0, write_only.size() - 10) + "_f/libq.so");
    for (const std::string& copy : {write_only, full}) {
        EXPECT_TRUE(exists(std::filesystem::path(copy).parent_path())) << copy;
    }

    // The write-only list beats "all libraries"; a -c entry beats both and
    // brings its own option text, which is part of the directory name.
    reopen_cache().write_only_libs.add_arg("libq.so");
    EXPECT_EQ(add(lib, false)->cached_name, write_only);
    policy.memvex_check_list.push_back("/elsewhere/libq.so:leaks");
    reopen_cache().write_only_libs.add_arg("libq.so");
    const std::string checked = add(lib, false)->cached_name;
    EXPECT_TRUE(checked.ends_with("_f/libq.so") && checked != full) << checked;
}

TEST_F(TargetReuse, MissingFileOrPathWithoutSlashEndsTheRun) {
    open_cache();
    bool created = false;
    EXPECT_EXIT(cache().lookup((dir / "missing").c_str(), false, &created, {.is_main = true}),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): File " + dir / "missing" +
                    " not found \\(errno = 2\\) No such file or directory\n$");
    const ScopedChdir in_dir(dir.path());
    EXPECT_EXIT(cache().lookup("prog", false, &created, {.is_main = true}),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Error computing binary name: fatal error: \n$");
}

}  // namespace
