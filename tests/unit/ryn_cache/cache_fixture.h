// A driver with its target cache in a private directory, and annotated
// fixtures built there: the program `prog` and libraries on demand.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "support/test_support.h"

namespace cache_test {

using namespace ryn_test;

class CacheFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("hi"), prog));
    }

    // A fresh driver of `front_end` owning a fresh cache in `cache_dir`.
    ryn::RynCache& open_cache(const char* front_end = "ryn", bool follow_dependencies = false) {
        driver = std::make_unique<ryn::RynDriver>(front_end, 4, ryn::RynDriver::PrepareOnly{});
        return reopen_cache(follow_dependencies);
    }

    // A fresh cache for the same driver, as the next run would have.
    ryn::RynCache& reopen_cache(bool follow_dependencies = false) {
        policy.memvex = driver->options().memvex_front_end();
        driver->state().cache = std::make_unique<ryn::RynCache>(
            cache_dir.c_str(), policy.memvex, policy.memvex ? "memvex" : "count",
            follow_dependencies, &driver->util(), policy);
        return cache();
    }

    ryn::RynCache& cache() { return *driver->state().cache; }

    ryn::Target* add(const std::string& path, bool is_main = true) {
        return cache().add_target(path.c_str(), nullptr, {.is_main = is_main});
    }

    // dir/lib<stem>.so, defining f_<stem>.
    std::string library(const std::string& stem) {
        const std::string path = dir / ("lib" + stem + ".so");
        EXPECT_TRUE(
            compile_c(std::string(k_annotate_asm) + "int f_" + stem + "(void) { return 1; }\n",
                      path, "-shared -fPIC"));
        return path;
    }

    TempDir dir;
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
    std::string prog = dir / "prog";
    std::string cache_dir = dir / "cache";
    std::unique_ptr<ryn::RynDriver> driver;
    ryn::CachePolicy policy;  // what the driver hands down to the next cache opened
};

}  // namespace cache_test
