// Processes of a probed program: threads, each side of a fork as the run
// asks, an exec, a dlopen'ed library served from its fresh copy in the cache,
// and the library log.
#include <md5.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

// The digest text the driver names cached copies with.
std::string md5_text(const std::string& bytes) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    return md5_digest_text(digest);
}

class ProcessProgram : public ::testing::Test {
protected:
    void build(const std::string& source, const std::vector<std::string>& records) {
        ASSERT_TRUE(compile_c(source, original, "-O0 -g -pthread -ldl"));
        std::vector<std::string> all = {"21 prog"};
        all.insert(all.end(), records.begin(), records.end());
        add_probe_table(original, copy, main_settings(original, "d", all));
    }
    RunResult run_both(const std::vector<std::string>& args = {}) {
        std::vector<std::string> plain_args = {original}, probed_args = {copy};
        plain_args.insert(plain_args.end(), args.begin(), args.end());
        probed_args.insert(probed_args.end(), args.begin(), args.end());
        const RunResult plain = run(plain_args, {}, dir.path());
        const RunResult probed = run(probed_args, {audit_env()}, dir.path());
        EXPECT_EQ(probed.out, plain.out);
        EXPECT_EQ(probed.err, plain.err);
        EXPECT_EQ(probed.status, plain.status);
        return probed;
    }
    InstrData data(const std::string& dir_name = "d") const {
        return read_instrdata(dir / (dir_name + "/prog.instrdata"));
    }

    TempDir dir;
    std::string original = dir / "prog";
    std::string copy = dir / "copy";
};

TEST_F(ProcessProgram, ThreadsRacingThroughOneProbeRunUnchanged) {
    build(R"(#include <pthread.h>
#include <stdio.h>
int square(int x) { return x * x; }
static void *work(void *arg) {
    long sum = 0;
    for (int i = 0; i < 200000; ++i)
        sum += square(i & 15);
    return (void *)sum;
}
int main(void) {
    pthread_t threads[4];
    for (int i = 0; i < 4; ++i)
        pthread_create(&threads[i], 0, work, 0);
    long total = 0;
    for (int i = 0; i < 4; ++i) {
        void *result;
        pthread_join(threads[i], &result);
        total += (long)result;
    }
    printf("total %ld\n", total);
    return 0;
}
)", {});
    EXPECT_EQ(run_both().out, "total 62000000\n");
    EXPECT_EQ(data().counts.at("square"), 1u);
    EXPECT_EQ(data().counts.at("work"), 1u);
}

const char* const k_fork_source = R"(#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>
int in_parent(void) { return 1; }
int in_child(void) { return 2; }
int main(void) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(in_child());
    int status = 0;
    waitpid(pid, &status, 0);
    printf("child %d parent %d\n", WEXITSTATUS(status), in_parent());
    return 0;
}
)";

TEST_F(ProcessProgram, ForkRecordsTheSidesTheRunAsksFor) {
    struct Case {
        const char* mode;
        unsigned parent, child, main;
    };
    for (const Case& c : {Case{"parent", 1, 0, 1}, Case{"child", 0, 1, 1}, Case{"both", 1, 1, 2}}) {
        SCOPED_TRACE(c.mode);
        build(k_fork_source, {std::string("33 ") + c.mode});
        run_shell("rm -rf d", dir.path());
        EXPECT_EQ(run_both().out, "child 2 parent 1\n");
        const InstrData recorded = data();
        EXPECT_EQ(recorded.counts.at("in_parent"), c.parent);
        EXPECT_EQ(recorded.counts.at("in_child"), c.child);
        EXPECT_EQ(recorded.counts.at("main"), c.main);
    }
}

TEST_F(ProcessProgram, ExecWritesTheDataOfTheReplacedImage) {
    build(R"(#include <stdio.h>
#include <unistd.h>
int before_exec(void) { return puts("before") + fflush(stdout); }
int after_failure(void) { return 0; }
int main(void) {
    before_exec();
    execl("/nonexistent/program", "x", (char *)0);
    after_failure();
    execlp("echo", "echo", "replaced", (char *)0);
    return 1;
}
)", {});
    EXPECT_EQ(run_both().out, "before\nreplaced\n");
    const InstrData recorded = data();
    EXPECT_EQ(recorded.counts.at("before_exec"), 1u);
    EXPECT_EQ(recorded.counts.at("after_failure"), 1u);
    EXPECT_EQ(recorded.counts.at("main"), 1u);
}

TEST_F(ProcessProgram, LibrariesComeFromFreshCopiesAndGoToTheLog) {
    const std::string lib = dir / "libplug.so";
    ASSERT_TRUE(compile_c("int plug(int x) { return x + 1; }\nint plug_unused(void) { return 0; }\n",
                          lib, "-shared -fPIC -O0 -g"));
    const std::string cache = dir / "cache";
    const std::string copy_dir = cache + "/count" + md5_text(lib);
    ASSERT_EQ(run_shell("mkdir -p " + copy_dir).status, 0);
    add_probe_table(lib, copy_dir + "/libplug.so", "original " + lib + "\ndatadir plug.instrdata\n");
    auto write_stamp = [&] {
        struct stat st {};
        stat(lib.c_str(), &st);
        write_file(copy_dir + "/libplug.so.cksum_tstamp",
                   md5_text(md5_text(read_file(lib)) +
                            std::to_string(static_cast<int>(st.st_mtime))));
    };
    write_stamp();
    const std::string log = dir / "prog.liblog";
    build(R"(#include <dlfcn.h>
#include <stdio.h>
int main(int argc, char **argv) {
    void *handle = dlopen(argv[1], RTLD_NOW);
    int (*plug)(int) = handle ? (int (*)(int))dlsym(handle, "plug") : 0;
    printf("plug %d\n", plug ? plug(argc) : -1);
    return 0;
}
)", {"9 " + cache, "11 /lib/", "11 /usr/lib/", "11 /lib64/", "11 libm", "19 " + log});

    EXPECT_EQ(run_both({lib}).out, "plug 3\n");
    const InstrData plugged = data("plug.instrdata");
    EXPECT_EQ(plugged.object, lib);
    EXPECT_EQ(plugged.counts.at("plug"), 1u);
    EXPECT_EQ(plugged.counts.at("plug_unused"), 0u);
    // The original path, and nothing the run calls ignorable.
    EXPECT_EQ(read_file(log), lib + "\n");

    // A library changed since its copy was made is used as it is.
    ASSERT_EQ(run_shell("touch -d '2001-01-01' " + lib).status, 0);
    EXPECT_EQ(run_both({lib}).out, "plug 3\n");
    EXPECT_EQ(data("plug.instrdata").counts.at("plug"), 1u);
    write_stamp();
    run_both({lib});
    EXPECT_EQ(data("plug.instrdata").counts.at("plug"), 2u);
    // Every run names the library once in all.
    EXPECT_EQ(read_file(log), lib + "\n");

    // The probed copy loaded by a program without the runtime just runs.
    const RunResult alone = run({original, copy_dir + "/libplug.so"}, {}, dir.path());
    EXPECT_EQ(alone.out, "plug 3\n");
    EXPECT_EQ(alone.status, 0);
}

}  // namespace
