// Where each target's instrumentation data lies, how consumers are pointed at
// it, when it counts as present, and removing stale data.
#include <sys/stat.h>
#include <unistd.h>

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

class InstrdataLocations : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("hi"), dir / "prog"));
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + "int q(void) { return 1; }\n",
                              dir / "libq.so", "-shared -fPIC"));
        driver.cache = std::make_unique<RynCache>((dir / "cache").c_str(), false, "count", false,
                                                  driver.util.get(), &driver);
        prog = driver.cache->add_target(true, (dir / "prog").c_str(), nullptr, false, false,
                                        false, true);
        lib = driver.cache->add_target(false, (dir / "libq.so").c_str(), nullptr, false, false,
                                       false, true);
        driver.main_target = prog;
    }

    std::string location(Target* t) const {
        return driver.use_option(t).substr(sizeof("-xkalfix=use:") - 1);
    }

    TempDir dir;
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
    RynDriver driver{"ryn", 4, RynDriver::PrepareOnly{}};
    Target* prog = nullptr;
    Target* lib = nullptr;
};

TEST_F(InstrdataLocations, DataDirectoriesAndUseLocations) {
    EXPECT_EQ(driver.instrdata_dirname(prog), "./prog.instrdata");
    EXPECT_EQ(driver.instrdata_dirname(lib), "./libq.so.instrdata");

    driver.target_is_shared = 0;
    const std::string prog_copy = prog->cached_name.substr(prog->cached_name.rfind('/') + 1);
    EXPECT_EQ(driver.use_option(lib), "-xkalfix=use:./libq.so.instrdata/" + prog_copy +
                                          ".instrdata");

    // The environment's directory replaces the -I directory for consumers,
    // not for the data directory itself.
    driver.instrdata_base = "/x/";
    driver.env_instrdata_dir = "/d/";
    EXPECT_EQ(driver.instrdata_dirname(lib), "/x/libq.so.instrdata");
    EXPECT_EQ(location(lib), "/d/libq.so.instrdata/prog.instrdata");

    driver.u_argument = "other";
    driver.instrdata_suffix = ".data";
    EXPECT_EQ(location(lib), "/d/libq.so.data/other.instrdata");
    EXPECT_EQ(location(prog), "/d/prog.data/other.instrdata");

    driver.target_is_shared = 1;
    EXPECT_EQ(location(lib), "/d/libq.so.data");

    driver.env_instrdata_dir = "/" + std::string(1100, 'd') + "/";
    EXPECT_EQ(driver.use_option(lib).size(), 1023u);
}

TEST_F(InstrdataLocations, DataIsPresentWhenADataEntryExists) {
    const std::string data = dir / "data";
    EXPECT_FALSE(driver.check_instrdata(nullptr));
    EXPECT_FALSE(driver.check_instrdata(data.c_str()));

    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    write_file(data + "/x.instrdatax", "");
    EXPECT_FALSE(driver.check_instrdata(data.c_str()));
    write_file(data + "/.instrdata", "");
    EXPECT_TRUE(driver.check_instrdata(data.c_str()));

    // A plain file stands for an executable's data only.
    const std::string file = dir / "file.instrdata";
    write_file(file, "");
    driver.target_is_shared = 0;
    EXPECT_TRUE(driver.check_instrdata(file.c_str()));
    driver.target_is_shared = 1;
    EXPECT_FALSE(driver.check_instrdata(file.c_str()));
    driver.target_is_shared = 2;
    EXPECT_FALSE(driver.check_instrdata(file.c_str()));
}

TEST_F(InstrdataLocations, PathOptionsAuditLibraryAndCheckFile) {
    EXPECT_EQ(RynDriver::construct_path_option("-replace_origin=", "", "/usr/lib"),
              "-replace_origin=/usr/lib");
    EXPECT_EQ(RynDriver::construct_path_option("-p=", "/a", "b"), "-p=/a/b");
    EXPECT_EQ(RynDriver::construct_path_option("-p=", "/a/", "b"), "-p=/a/b");

    driver.audit_lib_dir = "/opt/lib/amd64";
    EXPECT_EQ(driver.auditlibpath(), "/opt/lib/amd64/ryndl.so");

    ArgCache list;
    driver.add_checkfile_arg(&list, lib);
    EXPECT_EQ(list.count, 0);
    lib->instr_options = "leaks:all";
    driver.add_checkfile_arg(&list, lib);
    ASSERT_EQ(list.count, 1);
    EXPECT_STREQ(list[0], "-checkfile=leaks:all");
}

TEST_F(InstrdataLocations, LibraryLogIsBuiltOnceForAnExecutable) {
    driver.follow_dependencies = true;
    EXPECT_EQ(driver.instrument_logfile(lib), nullptr);
    EXPECT_FALSE(driver.liblog_path);

    const char* log = driver.instrument_logfile(prog);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(std::string(log), prog->original_name + ".liblog");
    EXPECT_EQ(driver.instrument_logfile(lib), log);

    RynDriver checker("memvex", 4, RynDriver::PrepareOnly{});
    EXPECT_EQ(checker.instrument_logfile(prog), nullptr);
}

TEST_F(InstrdataLocations, UnlinkRemovesOnlyDataEntries) {
    const std::string data = dir / "data";
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    for (const char* name : {"a.instrdata", "b.instrdata", "notes.txt"}) {
        write_file(data + "/" + name, "x");
    }
    driver.dry_run = true;
    driver.verbose = true;
    testing::internal::CaptureStderr();
    driver.unlink_instrdata(data.c_str());
    const std::string dry = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(exists(data + "/a.instrdata"));
    EXPECT_NE(dry.find("ryn (info): Removing " + data + "/a.instrdata\n\n"), std::string::npos)
        << dry;
    EXPECT_NE(dry.find("ryn (info): Removing " + data + "/b.instrdata\n\n"), std::string::npos)
        << dry;

    driver.dry_run = false;
    driver.verbose = false;
    testing::internal::CaptureStderr();
    driver.unlink_instrdata(data.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(exists(data + "/a.instrdata"));
    EXPECT_FALSE(exists(data + "/b.instrdata"));
    EXPECT_TRUE(exists(data + "/notes.txt"));

    const std::string file = dir / "prog.instrdata";
    write_file(file, "x");
    driver.unlink_instrdata(file.c_str());
    EXPECT_FALSE(exists(file));

    driver.unlink_instrdata((dir / "missing").c_str());
    driver.unlink_instrdata(nullptr);
}

TEST_F(InstrdataLocations, DataEntryThatCannotBeRemovedEndsTheRun) {
    const std::string data = dir / "data";
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((data + "/nested.instrdata").c_str(), 0755), 0);
    EXPECT_EXIT(driver.unlink_instrdata(data.c_str()), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Cannot remove " + data +
                    "/nested.instrdata \\(errno = 21\\) Is a directory\n$");

    // A path below a plain file is not missing: it cannot be examined.
    write_file(dir / "plain", "x");
    EXPECT_EXIT(driver.unlink_instrdata((dir / "plain/x").c_str()), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Cannot remove " + dir.path() +
                    "/plain/x \\(errno = 20\\) Not a directory\n$");
}

}  // namespace
