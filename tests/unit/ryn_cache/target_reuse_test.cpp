// A target's cache names and stamp are digests of its path and content, and
// its cached copy is reused until the file, the copy or the engine changes.
#include <md5.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "ryn/arg_cache.h"
#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;

namespace {

using namespace ryn_test;

// The cache's digest text, derived here from the ordinary MD5 hex form: the
// bytes of each four-byte group appear in reverse order.
std::string digest_text_of(const std::string& data) {
    char hex[MD5_DIGEST_STRING_LENGTH];
    MD5Data(reinterpret_cast<const uint8_t*>(data.data()), data.size(), hex);
    std::string text;
    for (int group = 0; group < 4; ++group) {
        for (int byte = 3; byte >= 0; --byte) {
            text.append(hex + group * 8 + byte * 2, 2);
        }
    }
    return text;
}

void set_mtime(const std::string& path, long seconds) {
    const timeval times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

using TargetReuse = cache_test::CacheFixture;

// Makes t's copy as the instrumentation phase does, under the target's lock.
void copy_and_stamp(const Target* t, const std::string& from) {
    ASSERT_EQ(run({"/bin/cp", from, t->cached_name}).status, 0);
    t->write_stamp();
}

TEST_F(TargetReuse, NamesAndStampAreDigestsAndDecideReuse) {
    ASSERT_EQ(digest_text_of("abc"), "98500190b04fd23c7d3f96d6727fe128");
    set_mtime(prog, 1700000000);
    open_cache();
    Target* t = add(prog);
    EXPECT_EQ(t->checksum, digest_text_of(digest_text_of(read_file(prog)) + "1700000000"));
    const std::string dir_name = cache_dir + "/count" + digest_text_of(prog);
    EXPECT_EQ(t->cached_name, dir_name + "/prog");
    EXPECT_TRUE(t->cache_dir == dir_name && t->original_name == dir_name + "/prog.original");
    // The directory is made for the copy to come; a stamp only with a copy.
    EXPECT_TRUE(t->rebuild && exists(dir_name) && !exists(dir_name + "/prog.cksum_tstamp"));
    // Another driver makes the copy while this one waits for the lock.
    copy_and_stamp(t, prog);
    EXPECT_EQ(read_file(dir_name + "/prog.cksum_tstamp"), t->checksum);
    EXPECT_FALSE(t->should_rebuild(nullptr, nullptr, false));

    reopen_cache();
    t = add(prog);
    EXPECT_FALSE(t->rebuild);
    ASSERT_EQ(unlink(t->cached_name.c_str()), 0);
    EXPECT_TRUE(t->should_rebuild(nullptr, nullptr, false) && t->rebuild);
    copy_and_stamp(t, prog);

    set_mtime(prog, 1700000100);
    reopen_cache();
    t = add(prog);
    EXPECT_TRUE(t->rebuild && t->should_rebuild(nullptr, nullptr, false));
}

TEST_F(TargetReuse, CopyMadeByThisEngineWithTheSameCommandLineIsReused) {
    open_cache();
    Target* t = add(prog);
    ASSERT_EQ(run({stage_lib("morphel"), "-ryn", "-comment=instrumentation args: -ryn", "-o",
                   t->cached_name, prog}).status, 0);
    t->write_stamp();
    // The engine's path stays one word for the shell that asks its version.
    const std::string morphel = dir / "my engine";
    ASSERT_EQ(symlink(stage_lib("morphel").c_str(), morphel.c_str()), 0);
    ArgCache signature;
    signature.add_arg("-ryn");
    EXPECT_FALSE(t->should_rebuild(&signature, morphel.c_str(), false));
}

TEST_F(TargetReuse, FullAndWriteOnlyCopiesLiveApart) {
    const std::string lib = library("q");
    const std::string prefix = cache_dir + "/memvex" + digest_text_of(lib);
    open_cache("memvex");
    EXPECT_EQ(add(lib, false)->cached_name, prefix + "_w/libq.so");
    policy.check_all_libraries = true;
    reopen_cache();
    EXPECT_EQ(add(lib, false)->cached_name, prefix + "_f/libq.so");
    EXPECT_TRUE(exists(prefix + "_w") && exists(prefix + "_f"));

    // The write-only list beats "all libraries"; a -c entry beats both and
    // brings its own option text, which is part of the directory name.
    reopen_cache().write_only_libs.add_arg("libq.so");
    EXPECT_EQ(add(lib, false)->cached_name, prefix + "_w/libq.so");
    policy.memvex_check_list.push_back("/elsewhere/libq.so:leaks");
    reopen_cache().write_only_libs.add_arg("libq.so");
    EXPECT_EQ(add(lib, false)->cached_name,
              cache_dir + "/memvex" + digest_text_of(lib + "leaks") + "_f/libq.so");
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
