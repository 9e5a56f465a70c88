// A target's cache names and stamp are digests of its path and content, and
// its cached copy is reused until the file, the copy or the engine changes.
#include <md5.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/arg_cache.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "support/test_support.h"

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

class TargetReuse : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("hi"), prog));
        set_mtime(prog, 1700000000);
    }

    std::unique_ptr<RynCache> open_cache(const char* front_end = "ryn") {
        driver = std::make_unique<RynDriver>(front_end, 4, RynDriver::PrepareOnly{});
        const bool memvex = driver->memvex_front_end;
        return std::make_unique<RynCache>(cache_dir.c_str(), memvex, memvex ? "memvex" : "count",
                                          false, driver->util.get(), driver.get());
    }

    Target* add(RynCache& cache, const std::string& path, bool is_main = true) {
        return cache.add_target(is_main, path.c_str(), nullptr, false, false, false, true);
    }

    // Makes t's copy as the instrumentation phase does: through the engine
    // stand-in (recording `signature`), or as a plain copy.
    void produce_copy(const Target* t, bool by_engine = false) {
        signature.add_arg("-ryn");
        const std::vector<std::string> command =
            by_engine ? std::vector<std::string>{stage_lib("morphel"), "-ryn",
                                                 "-comment=instrumentation args: " +
                                                     signature.sprint(),
                                                 "-o", t->cached_name, prog}
                      : std::vector<std::string>{"/bin/cp", prog, t->cached_name};
        ASSERT_EQ(run(command).status, 0);
        t->write_stamp();
    }

    TempDir dir;
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
    std::string prog = dir / "prog";
    std::string cache_dir = dir / "cache";
    std::unique_ptr<RynDriver> driver;
    ArgCache signature;
};

TEST_F(TargetReuse, NamesAndChecksumAreDigestTexts) {
    ASSERT_EQ(digest_text_of("abc"), "98500190b04fd23c7d3f96d6727fe128");
    auto cache = open_cache();
    const Target* t = add(*cache, prog);
    ASSERT_TRUE(t->valid);
    EXPECT_FALSE(t->is_shared_lib);
    EXPECT_EQ(t->checksum, digest_text_of(digest_text_of(read_file(prog)) + "1700000000"));

    const std::string dir_name = cache_dir + "/count" + digest_text_of(prog);
    EXPECT_EQ(t->cache_dir, dir_name);
    EXPECT_EQ(t->cached_name, dir_name + "/prog");
    EXPECT_EQ(t->original_name, dir_name + "/prog.original");
    EXPECT_EQ(t->stamp_name(), dir_name + "/prog.cksum_tstamp");
    // The directory is made for the copy to come; no stamp before a copy.
    EXPECT_TRUE(t->rebuild);
    EXPECT_TRUE(exists(t->cache_dir));
    EXPECT_FALSE(exists(t->stamp_name()));
}

TEST_F(TargetReuse, UnchangedFileIsReusedTouchedFileOrDeletedCopyIsRebuilt) {
    std::string first_checksum;
    {
        auto cache = open_cache();
        Target* t = add(*cache, prog);
        // Another driver made the copy while this one waited for the lock.
        produce_copy(t);
        EXPECT_EQ(read_file(t->stamp_name()), t->checksum);
        EXPECT_FALSE(t->should_rebuild(nullptr, nullptr, false));
        EXPECT_FALSE(t->rebuild);
        first_checksum = t->checksum;
    }
    {
        auto cache = open_cache();
        Target* t = add(*cache, prog);
        EXPECT_FALSE(t->rebuild);
        EXPECT_EQ(t->checksum, first_checksum);
        ASSERT_EQ(unlink(t->cached_name.c_str()), 0);
        EXPECT_TRUE(t->should_rebuild(nullptr, nullptr, false));
        EXPECT_TRUE(t->rebuild);
        produce_copy(t);
    }
    set_mtime(prog, 1700000100);
    {
        auto cache = open_cache();
        Target* t = add(*cache, prog);
        EXPECT_NE(t->checksum, first_checksum);
        EXPECT_TRUE(t->should_rebuild(nullptr, nullptr, false));
        // Only the first 32 characters of a stamp count.
        write_file(t->stamp_name(), t->checksum + "trailing text");
    }
    auto cache = open_cache();
    EXPECT_FALSE(add(*cache, prog)->rebuild);
}

TEST_F(TargetReuse, EngineRecordsDecideOnAnExistingCopy) {
    auto cache = open_cache();
    Target* t = add(*cache, prog);
    const std::string morphel = stage_lib("morphel");
    produce_copy(t, true);
    EXPECT_FALSE(t->should_rebuild(&signature, morphel.c_str(), false));
    EXPECT_FALSE(t->should_rebuild(nullptr, morphel.c_str(), false));
    ArgCache other;
    other.add_arg("-ryn -v");
    EXPECT_TRUE(t->should_rebuild(&other, morphel.c_str(), false));
    // A copy without records was not made by the engine.
    produce_copy(t);
    EXPECT_TRUE(t->should_rebuild(&signature, morphel.c_str(), false));
}

TEST_F(TargetReuse, EngineVersionIsAskedOnceAndAChangeForcesARebuild) {
    auto cache = open_cache();
    Target* t = add(*cache, prog);
    produce_copy(t, true);
    // A newer engine at a path the shell would split; it logs each query.
    const std::string engine = dir / "new engine";
    const std::string log = dir / "queries";
    write_file(engine, "#!/bin/sh\necho \"$1 $2\" >> '" + log +
                           "'\necho 'usage: engine [options]'\necho 'ryn: morphel 2.0'\n");
    chmod(engine.c_str(), 0755);
    // The version is kept for the rest of the process, so ask in a fresh one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const bool rebuild = t->should_rebuild(&signature, engine.c_str(), true);
            const bool same = t->compare_morphel_version("ryn: morphel 2.0",
                                                         stage_lib("morphel").c_str(), false);
            exit(rebuild && same && read_file(log) == "-ryn -V\n" ? 0 : 3);
        },
        ::testing::ExitedWithCode(0),
        "^ryn \\(info\\): Reinstrumenting because morphel version has changed: Cached: ryn: "
        "morphel 1.0 \nThis morphel: ryn: morphel 2.0\n\n$");
    GTEST_FLAG_SET(death_test_style, "fast");
}

TEST_F(TargetReuse, FullAndWriteOnlyCopiesLiveApart) {
    const std::string lib = dir / "libq.so";
    ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + "int q(void) { return 1; }\n", lib,
                          "-shared -fPIC"));
    const std::string prefix = cache_dir + "/memvex" + digest_text_of(lib);
    auto write_only = open_cache("memvex");
    EXPECT_EQ(add(*write_only, lib, false)->cached_name, prefix + "_w/libq.so");

    driver->check_all_libraries = true;
    RynCache full(cache_dir.c_str(), true, "memvex", false, driver->util.get(), driver.get());
    EXPECT_TRUE(add(full, lib, false)->full_instr);
    EXPECT_EQ(add(full, lib, false)->cached_name, prefix + "_f/libq.so");
    EXPECT_TRUE(exists(prefix + "_w") && exists(prefix + "_f"));

    // A write-only entry beats "all libraries"; a -c entry beats both and
    // brings its own option text, which changes the directory name.
    RynCache listed(cache_dir.c_str(), true, "memvex", false, driver->util.get(), driver.get());
    listed.write_only_libs.add_arg("libq.so");
    EXPECT_EQ(add(listed, lib, false)->cached_name, prefix + "_w/libq.so");
    driver->memvex_check_list.add_arg("/elsewhere/libq.so:leaks");
    RynCache checked(cache_dir.c_str(), true, "memvex", false, driver->util.get(), driver.get());
    checked.write_only_libs.add_arg("libq.so");
    EXPECT_EQ(add(checked, lib, false)->cached_name,
              cache_dir + "/memvex" + digest_text_of(lib + "leaks") + "_f/libq.so");

    // The main program is checked fully, with the target's own option text.
    driver->check_file_spec = "uninit";
    EXPECT_EQ(add(checked, prog)->cached_name,
              cache_dir + "/memvex" + digest_text_of(prog + "uninit") + "_f/prog");
}

TEST_F(TargetReuse, FatalConditionsEndTheRun) {
    auto cache = open_cache();
    bool created = false;
    const std::string missing = dir / "missing";
    EXPECT_EXIT(cache->lookup(true, missing.c_str(), false, &created, false, false, false, true),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): File " + missing +
                    " not found \\(errno = 2\\) No such file or directory\n$");
    {
        const ScopedChdir in_dir(dir.path());
        EXPECT_EXIT(cache->lookup(true, "prog", false, &created, false, false, false, true),
                    ::testing::ExitedWithCode(1),
                    "^ryn \\(error\\): Error computing binary name: fatal error: \n$");
    }
    Target* t = add(*cache, prog);
    produce_copy(t);
    write_file(t->stamp_name(), "");
    EXPECT_EXIT(add(*open_cache(), prog), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): fgets failed\n: fatal error: \n$");
}

}  // namespace
