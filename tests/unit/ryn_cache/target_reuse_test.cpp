// A target's cache names and stamp are digests of its path and content, and
// its cached copy is reused until the file, the copy or the engine changes.
#include <md5.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
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

// Makes the instrumented copy of t the way the instrumentation phase does.
void produce_copy(const Target* t) {
    ASSERT_EQ(run({"/bin/cp", t->name, t->cached_name}).status, 0);
    t->write_stamp();
}

class TargetReuse : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("hi"), prog));
        set_mtime(prog, 1700000000);
    }

    std::unique_ptr<RynCache> open_cache(const char* front_end = "ryn") {
        driver = std::make_unique<RynDriver>(front_end, 4, RynDriver::PrepareOnly{});
        const char* kind = driver->memvex_front_end ? "memvex" : "count";
        return std::make_unique<RynCache>(cache_dir.c_str(), driver->memvex_front_end, kind,
                                          false, driver->util.get(), driver.get());
    }

    Target* add(RynCache& cache, const std::string& path, bool is_main = true) {
        return cache.add_target(is_main, path.c_str(), nullptr, false, false, false, true);
    }

    TempDir dir;
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
    std::string prog = dir / "prog";
    std::string cache_dir = dir / "cache";
    std::unique_ptr<RynDriver> driver;
};

TEST(DigestText, RegroupingHelperMatchesTheKnownValue) {
    EXPECT_EQ(digest_text_of("abc"), "98500190b04fd23c7d3f96d6727fe128");
}

TEST_F(TargetReuse, NamesAndChecksumAreDigestTexts) {
    auto cache = open_cache();
    const Target* t = add(*cache, prog);
    ASSERT_TRUE(t->valid);
    EXPECT_FALSE(t->is_shared_lib);

    const std::string content_digest = digest_text_of(read_file(prog));
    EXPECT_EQ(t->checksum, digest_text_of(content_digest + "1700000000"));

    const std::string dir_name = cache_dir + "/count" + digest_text_of(prog);
    EXPECT_EQ(t->cache_dir, dir_name);
    EXPECT_EQ(t->cached_name, dir_name + "/prog");
    EXPECT_EQ(t->original_name, dir_name + "/prog.original");
    EXPECT_EQ(t->stamp_name(), dir_name + "/prog.cksum_tstamp");
    EXPECT_TRUE(t->rebuild);

    // The directory is made for the copy to come, but no stamp is written
    // before a copy exists.
    struct stat st {};
    EXPECT_EQ(stat(t->cache_dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(exists(t->stamp_name()));
    EXPECT_FALSE(exists(t->cached_name));
}

TEST_F(TargetReuse, UnchangedFileIsReusedTouchedFileIsRebuilt) {
    std::string first_checksum;
    {
        auto cache = open_cache();
        Target* t = add(*cache, prog);
        produce_copy(t);
        EXPECT_EQ(read_file(t->stamp_name()), t->checksum);
        first_checksum = t->checksum;
    }
    {
        auto cache = open_cache();
        Target* t = add(*cache, prog);
        EXPECT_FALSE(t->rebuild);
        EXPECT_FALSE(t->should_rebuild(nullptr, nullptr, false));
        EXPECT_EQ(t->checksum, first_checksum);
    }
    set_mtime(prog, 1700000100);
    {
        auto cache = open_cache();
        Target* t = add(*cache, prog);
        EXPECT_NE(t->checksum, first_checksum);
        EXPECT_TRUE(t->rebuild);
        EXPECT_TRUE(t->should_rebuild(nullptr, nullptr, false));
        // Only the first 32 characters of a stamp count.
        write_file(t->stamp_name(), t->checksum + "trailing text");
    }
    {
        auto cache = open_cache();
        EXPECT_FALSE(add(*cache, prog)->rebuild);
    }
}

TEST_F(TargetReuse, DeletedCopyIsRebuiltThoughItsStampMatches) {
    {
        auto cache = open_cache();
        produce_copy(add(*cache, prog));
    }
    auto cache = open_cache();
    Target* t = add(*cache, prog);
    ASSERT_FALSE(t->rebuild);
    ASSERT_EQ(unlink(t->cached_name.c_str()), 0);
    EXPECT_TRUE(t->should_rebuild(nullptr, nullptr, false));
    EXPECT_TRUE(t->rebuild);
}

TEST_F(TargetReuse, CopyMadeByAnotherDriverWhileWaitingIsReused) {
    auto cache = open_cache();
    Target* t = add(*cache, prog);
    ASSERT_TRUE(t->rebuild);
    // Another driver held the lock and made the copy meanwhile.
    produce_copy(t);
    EXPECT_FALSE(t->should_rebuild(nullptr, nullptr, false));
    EXPECT_FALSE(t->rebuild);

    // A stamp of other content does not count.
    write_file(t->stamp_name(), std::string(32, '0'));
    t->rebuild = true;
    EXPECT_TRUE(t->should_rebuild(nullptr, nullptr, false));
}

TEST_F(TargetReuse, UnreadableStampEndsTheRun) {
    {
        auto cache = open_cache();
        produce_copy(add(*cache, prog));
    }
    {
        auto cache = open_cache();
        write_file(add(*cache, prog)->stamp_name(), "");
    }
    EXPECT_EXIT(
        {
            auto cache = open_cache();
            add(*cache, prog);
        },
        ::testing::ExitedWithCode(1), "^ryn \\(error\\): fgets failed\n: fatal error: \n$");
}

TEST_F(TargetReuse, EngineRecordsDecideOnAnExistingCopy) {
    auto cache = open_cache();
    Target* t = add(*cache, prog);
    ArgCache signature;
    signature.add_arg("-ryn");
    signature.add_arg("-xkalfix=instrument:./prog.instrdata");
    const std::string morphel = stage_lib("morphel");
    ASSERT_EQ(run({morphel, "-ryn", "-comment=instrumentation args: " + signature.sprint(), "-o",
                   t->cached_name, prog})
                  .status,
              0);
    t->write_stamp();

    EXPECT_FALSE(t->should_rebuild(&signature, morphel.c_str(), false));
    // Without a command line to compare, an existing matching copy is kept.
    EXPECT_FALSE(t->should_rebuild(nullptr, morphel.c_str(), false));

    ArgCache other;
    other.add_arg("-ryn");
    other.add_arg("-xkalfix=instrument:./other.instrdata");
    EXPECT_TRUE(t->should_rebuild(&other, morphel.c_str(), false));

    // A copy without records was not made by the engine.
    ASSERT_EQ(run({"/bin/cp", prog, t->cached_name}).status, 0);
    EXPECT_TRUE(t->should_rebuild(&signature, morphel.c_str(), false));
}

TEST_F(TargetReuse, EngineVersionIsAskedOnceAndAChangeForcesARebuild) {
    auto cache = open_cache();
    Target* t = add(*cache, prog);
    ArgCache signature;
    signature.add_arg("-ryn");
    ASSERT_EQ(run({stage_lib("morphel"), "-ryn",
                   "-comment=instrumentation args: " + signature.sprint(), "-o", t->cached_name,
                   prog})
                  .status,
              0);
    t->write_stamp();

    // A newer engine at a path the shell would split; it logs each query.
    const std::string engine = dir / "new engine";
    const std::string log = dir / "queries";
    write_file(engine, "#!/bin/sh\necho \"$1 $2\" >> '" + log +
                           "'\necho 'usage: engine [options]'\necho 'ryn: morphel 2.0'\n");
    chmod(engine.c_str(), 0755);

    // The version is kept for the rest of the process, so look in a fresh one.
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
}

TEST_F(TargetReuse, MemoryCheckerModeSelectsTheEngineSwitch) {
    auto cache = open_cache("memvex");
    Target* t = add(*cache, prog);
    const std::string engine = dir / "engine";
    const std::string log = dir / "queries";
    write_file(engine, "#!/bin/sh\necho \"$1\" > '" + log + "'\necho 'memvex: morphel 1.0'\n");
    chmod(engine.c_str(), 0755);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const bool same = t->compare_morphel_version("memvex: morphel 1.0", engine.c_str(),
                                                         false);
            exit(same && read_file(log) == "-ped\n" ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TargetReuse, FullAndWriteOnlyCopiesLiveApart) {
    const std::string lib = dir / "libq.so";
    ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + "int q(void) { return 1; }\n", lib,
                          "-shared -fPIC"));
    const std::string hash = digest_text_of(lib);
    const std::string prefix = cache_dir + "/memvex" + hash;

    auto cache = open_cache("memvex");
    const Target* write_only = add(*cache, lib, false);
    EXPECT_TRUE(write_only->is_shared_lib);
    EXPECT_FALSE(write_only->full_instr);
    EXPECT_EQ(write_only->cached_name, prefix + "_w/libq.so");

    driver->check_all_libraries = true;
    auto full_cache = std::make_unique<RynCache>(cache_dir.c_str(), true, "memvex", false,
                                                 driver->util.get(), driver.get());
    const Target* full = add(*full_cache, lib, false);
    EXPECT_TRUE(full->full_instr);
    EXPECT_EQ(full->cached_name, prefix + "_f/libq.so");
    EXPECT_TRUE(exists(prefix + "_f"));
    EXPECT_TRUE(exists(prefix + "_w"));

    // A write-only entry beats "all libraries"; a -c entry beats both and
    // brings its own option text, which changes the directory name.
    auto listed = std::make_unique<RynCache>(cache_dir.c_str(), true, "memvex", false,
                                             driver->util.get(), driver.get());
    listed->write_only_libs.add_arg("libq.so");
    EXPECT_EQ(add(*listed, lib, false)->cached_name, prefix + "_w/libq.so");

    driver->memvex_check_list.add_arg("/elsewhere/libq.so:leaks");
    auto checked = std::make_unique<RynCache>(cache_dir.c_str(), true, "memvex", false,
                                              driver->util.get(), driver.get());
    checked->write_only_libs.add_arg("libq.so");
    const Target* with_options = add(*checked, lib, false);
    EXPECT_TRUE(with_options->full_instr);
    ASSERT_TRUE(with_options->instr_options);
    EXPECT_EQ(*with_options->instr_options, "leaks");
    EXPECT_EQ(with_options->cached_name,
              cache_dir + "/memvex" + digest_text_of(lib + "leaks") + "_f/libq.so");
}

TEST_F(TargetReuse, MemoryCheckerMainTargetIsFullUnlessTold) {
    auto cache = open_cache("memvex");
    driver->check_file_spec = "spec";
    const Target* main_target = add(*cache, prog);
    EXPECT_TRUE(main_target->full_instr);
    EXPECT_EQ(main_target->cached_name,
              cache_dir + "/memvex" + digest_text_of(prog + "spec") + "_f/prog");

    driver->no_main_full_instr = true;
    auto second = std::make_unique<RynCache>(cache_dir.c_str(), true, "memvex", false,
                                             driver->util.get(), driver.get());
    const Target* write_only = add(*second, prog);
    EXPECT_FALSE(write_only->full_instr);
    EXPECT_EQ(write_only->cached_name, cache_dir + "/memvex" + digest_text_of(prog) + "_w/prog");
}

TEST_F(TargetReuse, MissingFileAndPathWithoutDirectoryEndTheRun) {
    auto cache = open_cache();
    bool created = false;
    const std::string missing = dir / "missing";
    EXPECT_EXIT(cache->lookup(true, missing.c_str(), false, &created, false, false, false, true),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): File " + missing +
                    " not found \\(errno = 2\\) No such file or directory\n$");

    const ScopedChdir in_dir(dir.path());
    EXPECT_EXIT(cache->lookup(true, "prog", false, &created, false, false, false, true),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Error computing binary name: fatal error: \n$");
}

TEST_F(TargetReuse, DumpShowsLocationsAndDecision) {
    auto cache = open_cache();
    const Target* t = add(*cache, prog);
    ::testing::internal::CaptureStdout();
    cache->dump();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "======== RYN CACHE: ntargets: 1, base dir " + cache_dir + "/count\n" +
                  "\n  ==Target " + prog + " (executable)\n    cache dir: " + t->cache_dir +
                  "\n    cached name: " + t->cached_name + "\n    Rebuild 1\n\n");
}

}  // namespace
