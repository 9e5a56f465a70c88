// Processes of a probed program: each side of a fork as the run asks, an
// exec, a dlopen'ed library served from its fresh copy in the cache, and the
// library log. (Threads racing through probes run in the corpus.)
#include <md5.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/engine_support.h"
#include "support/runtime_support.h"

using namespace ryn;
using namespace ryn_test;

namespace {

const char* const k_fork = R"(#include <stdio.h>
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

// The data of the image an exec replaces is written before it goes; a
// failed exec goes on measuring.
const char* const k_exec = R"(#include <stdio.h>
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
)";

TEST_P(ProbedRuns, ProcessesRunAsWithoutProbesAndRecordAsAsked) { check(GetParam()); }

const RunCase k_process_cases[] = {
    RunCase{"fork_parent",
            k_fork,
            "",
            "child 2 parent 1\n",
            0,
            {{"in_parent", 1}, {"in_child", 0}, {"main", 1}},
            {"33 parent"}},
    // These copies count executions, and a fork child counts from zero: it
    // never entered main itself.
    RunCase{"fork_child",
            k_fork,
            "",
            "child 2 parent 1\n",
            0,
            {{"in_parent", 0}, {"in_child", 1}, {"main", 0}},
            {"33 child"}},
    RunCase{"fork_both",
            k_fork,
            "",
            "child 2 parent 1\n",
            0,
            {{"in_parent", 1}, {"in_child", 1}, {"main", 1}},
            {"33 both"}},
    // Under the coverage front end a child also counts the blocks its parent
    // reached before the fork.
    RunCase{"covered_fork_child",
            k_fork,
            "",
            "child 2 parent 1\n",
            0,
            {{"in_parent", 0}, {"in_child", 1}, {"main", 1}},
            {"1 zentor", "33 child"}},
    RunCase{"covered_fork_both",
            k_fork,
            "",
            "child 2 parent 1\n",
            0,
            {{"in_parent", 1}, {"in_child", 1}, {"main", 2}},
            {"1 zentor", "33 both"}},
    RunCase{"exec",
            k_exec,
            "",
            "before\nreplaced\n",
            0,
            {{"before_exec", 1}, {"after_failure", 1}, {"main", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Processes, ProbedRuns, ::testing::ValuesIn(k_process_cases), case_name);

// The digest text the driver names cached copies with.
std::string md5_text(const std::string& bytes) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    return md5_digest_text(digest);
}

using ProbedProgram = ProbedProgramTest;

TEST_F(ProbedProgram, LibrariesComeFromFreshCopiesAndGoToTheLog) {
    const std::string lib = dir / "libplug.so";
    ASSERT_TRUE(
        compile_c("int plug(int x) { return x + 1; }\nint plug_unused(void) { return 0; }\n", lib,
                  "-shared -fPIC"));
    const std::string cache = dir / "cache";
    const std::string copy_dir = cache + "/count" + md5_text(lib);
    ASSERT_EQ(run_shell("mkdir -p " + copy_dir).status, 0);
    ASSERT_TRUE(make_probed_copy(lib, copy_dir + "/libplug.so", "plug.instrdata"));
    auto write_stamp = [&] {
        struct stat st {};
        stat(lib.c_str(), &st);
        write_file(
            copy_dir + "/libplug.so.cksum_tstamp",
            md5_text(md5_text(read_file(lib)) + std::to_string(static_cast<int>(st.st_mtime))));
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
)",
          "", {"9 " + cache, "11 /lib/", "11 /usr/lib/", "11 /lib64/", "11 libm", "19 " + log});
    const auto plugged = [&] { return read_instrdata(dir / "plug.instrdata/prog.instrdata"); };

    EXPECT_EQ(run_alike(lib).out, "plug 3\n");
    EXPECT_EQ(plugged().object, lib);
    EXPECT_EQ(plugged().counts,
              (std::map<std::string, unsigned long>{{"plug", 1}, {"plug_unused", 0}}));
    // The original path, and nothing the run calls ignorable.
    EXPECT_EQ(read_file(log), lib + "\n");

    // A library changed since its copy was made is used as it is.
    ASSERT_EQ(run_shell("touch -d '2001-01-01' " + lib).status, 0);
    EXPECT_EQ(run_alike(lib).out, "plug 3\n");
    EXPECT_EQ(plugged().counts.at("plug"), 1u);
    write_stamp();
    run_alike(lib);
    EXPECT_EQ(plugged().counts.at("plug"), 2u);
    // Every run names the library once in all.
    EXPECT_EQ(read_file(log), lib + "\n");

    // The probed copy loaded by a program without the runtime just runs.
    const RunResult alone = run({original, copy_dir + "/libplug.so"}, {}, dir.path());
    EXPECT_EQ(alone.out, "plug 3\n");
    EXPECT_EQ(alone.status, 0);
}

}  // namespace
