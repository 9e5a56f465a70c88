// Every way a run can go wrong leaves the user's files as they were: a failing
// engine, a signal to the driver while the engine runs or a file is replaced,
// a file system that refuses. The engine is a script that fails on a chosen
// file, and a preloaded shim fails or stalls one chosen call.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

namespace fs = std::filesystem;
using ryn_test::RunResult;
using Files = std::vector<std::string>;

namespace {

struct Snapshot {
    std::string content;
    mode_t mode = 0;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return {ryn_test::read_file(path), st.st_mode};
}

// Polls `done` every 10 ms for up to a minute.
bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 6000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class FaultMatrix : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        const std::string dir = work / "src";
        fixture =
            ryn_e2e::build_fixture(dir, "prog", {ryn_e2e::library_walked_before(dir, "prog")});
        lib = fixture.libs[0];
        ASSERT_EQ(chmod(lib.c_str(), 0751), 0);
        original_prog = snapshot(fixture.program);
        original_lib = snapshot(lib);
    }

    // The library is instrumented and replaced first, then the program.
    std::vector<std::string> in_place() const {
        return {"instrument", "-R", "-l", lib, fixture.program};
    }

    // Engine behaviour: shell commands run when the engine's input is `file`.
    void engine_on(const std::string& file, const std::string& commands) {
        install.wrap(install.engine(), "for last; do :; done\nif [ \"$last\" = '" + file +
                                           "' ]; then\n" + commands + "\nfi");
    }

    // Makes the call `op` on `path` by the driver fail with `error`, or with
    // no error stall after writing its process id to stall_file().
    std::vector<std::string> shim(const std::string& op, const std::string& path, int error) const {
        return {
            "LD_PRELOAD=" RYN_FAULT_SHIM,
            "ASAN_OPTIONS=verify_asan_link_order=0",
            "RYN_FAULT_OP=" + op,
            "RYN_FAULT_PATH=" + path,
            "RYN_FAULT_EXE=ryn",
            error ? "RYN_FAULT_ERRNO=" + std::to_string(error) : "RYN_FAULT_STALL=" + stall_file()};
    }
    std::string stall_file() const { return work / "stalled.pid"; }

    // Starts the front end, waits for a pid in `pid_file`, signals the driver.
    RunResult run_and_signal(const std::string& front_end, std::vector<std::string> args,
                             const std::vector<std::string>& extra_env, const std::string& pid_file,
                             int sig) {
        args.insert(args.begin(), install.bin(front_end));
        std::vector<std::string> run_env = env;
        run_env.insert(run_env.end(), extra_env.begin(), extra_env.end());
        ryn_test::Started driver = ryn_test::start(args, run_env, work.path());
        std::string text;
        EXPECT_TRUE(eventually([&] {
            text = ryn_test::read_file(pid_file);
            return text.ends_with('\n');
        })) << "nothing stalled at "
            << pid_file;
        stalled_pid = text.empty() ? -1 : std::stoi(text);
        kill(driver.pid, sig);
        // A driver that does not end is a failure of its own, not a hang.
        const bool ended = eventually([&] {
            siginfo_t info{};
            return waitid(P_PID, static_cast<id_t>(driver.pid), &info,
                          WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == driver.pid;
        });
        if (!ended) {
            ADD_FAILURE() << "the driver did not end after signal " << sig;
            kill(driver.pid, SIGKILL);
        }
        return ryn_test::finish(driver);
    }

    void expect_user_files_untouched() {
        EXPECT_TRUE(snapshot(fixture.program) == original_prog) << "the program changed";
        EXPECT_TRUE(snapshot(lib) == original_lib) << "the library changed";
    }

    Files temporary_files() const { return ryn_e2e::files_ending_in(work / "tmp", ""); }

    // No lock, no temporary file, nothing the run kept beside a user file.
    // `dead_driver_files` are what a driver killed with SIGKILL left in the
    // temporary directory: nothing can tell that they are unused.
    void expect_nothing_left(const Files& dead_driver_files = {}) {
        EXPECT_EQ(ryn_e2e::files_ending_in(work.path(), ".lock"), Files{});
        EXPECT_EQ(temporary_files(), dead_driver_files);
        EXPECT_EQ(ryn_test::names_in(fixture.dir, ".ryn-"), Files{});
    }

    void expect_child_gone() {
        // A zombie nobody reaps has ended too.
        const std::string stat = "/proc/" + std::to_string(stalled_pid) + "/stat";
        EXPECT_TRUE(eventually([&] {
            const std::string text = ryn_test::read_file(stat);
            return kill(stalled_pid, 0) != 0 || text.find(") Z ") != std::string::npos;
        })) << "engine "
            << stalled_pid << " outlived the driver";
    }

    std::string failed_on(const std::string& file, const std::string& component = "ryn") const {
        return component + " (error): " + install.engine() + " failed on " + file + ": ";
    }

    std::string lib;
    Snapshot original_prog;
    Snapshot original_lib;
    int stalled_pid = -1;
};

// A crashing engine is named the same way with its signal, below.
TEST_F(FaultMatrix, EngineThatFailsIsNamedAndEveryReplacedFileGoesBack) {
    // Configured function lists reach the engine in a temporary file.
    ryn_test::write_file(work / ".ryn.rc", "set RYN_IGNORABLE_FUNCTIONS skip_me\n");
    engine_on(fixture.program, "exit 1");
    const RunResult result = ryn(in_place());
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(ryn_e2e::holds(result.err, failed_on(fixture.program) + "exit status 1\n"));
    // The temporary files existed while the engine ran; they are gone now.
    const auto runs = install.engine_runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.back().missing_paths, Files{});
    EXPECT_NE(runs.back().with_prefix("-blacklist=" + work / "tmp/"), "");
    EXPECT_NE(runs.back().with_prefix("-ryninfo=" + work / "tmp/"), "");
    // No copy, so no stamp either.
    EXPECT_EQ(ryn_e2e::files_ending_in(work / "cache", "/prog.cksum_tstamp"), Files{});
    expect_user_files_untouched();
    expect_nothing_left();
}

TEST_F(FaultMatrix, InterruptOrTerminateStopsTheEngineOrAReplacementAndPutsEverythingBack) {
    const auto expect_stopped = [&](const RunResult& result, int sig) {
        EXPECT_EQ(result.status, 128 + sig);
        EXPECT_TRUE(ryn_e2e::holds(result.err, std::string("ryn (error): stopped by signal SIG") +
                                                   sigabbrev_np(sig) +
                                                   "; putting back replaced files\n"));
        expect_user_files_untouched();
        expect_nothing_left();
    };
    // While the engine runs, which writes its process id.
    const std::string engine_pid = work / "engine.pid";
    engine_on(fixture.program, "echo $$ > '" + engine_pid + "'\nexec sleep 60");
    expect_stopped(run_and_signal("ryn", in_place(), {}, engine_pid, SIGINT), SIGINT);
    expect_child_gone();

    // While the program's replacement stalls before its rename, the library
    // already replaced; the shim writes the driver's id.
    engine_on(fixture.program, ":");
    fs::remove_all(work / "cache");
    expect_stopped(run_and_signal("ryn", in_place(), shim("rename", "/.prog.ryn-new", 0),
                                  stall_file(), SIGTERM),
                   SIGTERM);
}

TEST_F(FaultMatrix, KilledDriverTakesItsEngineAlongAndTheNextRunPutsTheProgramBack) {
    const std::string pid_file = work / "engine.pid";
    engine_on(fixture.program, "head -c 3000 /bin/sh > '" + fixture.program + "'\necho $$ > '" +
                                   pid_file + "'\nexec sleep 60");
    const RunResult killed = run_and_signal("memvex", {fixture.program}, {}, pid_file, SIGKILL);
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    expect_child_gone();
    // The dead driver still holds the lock of the program's cache entry: the
    // next run takes it over at once instead of waiting for it to go stale.
    EXPECT_FALSE(ryn_e2e::files_ending_in(work / "cache", ".link.lock").empty());
    const Files dead_driver_files = temporary_files();

    // This time the engine dies half way through writing the program, which
    // the checker without -o writes in the same inode.
    engine_on(fixture.program, "head -c 3000 /bin/sh > '" + fixture.program + "'\nkill -KILL $$");
    // The age rule alone would keep the next run waiting for 180 s.
    launch_prefix = {"timeout", "60"};
    const RunResult next = run_front_end("memvex", {fixture.program});
    EXPECT_EQ(next.status, 1) << "124 means it waited for the dead driver\n" << next.err;
    EXPECT_TRUE(ryn_e2e::holds(next.err,
                               failed_on(fixture.program, "memvex") + "killed by signal SIGKILL"));
    EXPECT_TRUE(ryn_e2e::holds(next.err, "memvex (warning): Deleting possible stale lock file "));
    EXPECT_TRUE(ryn_e2e::holds(
        next.err, "memvex (warning): " + fixture.program +
                      " was left replaced by a run that was killed; its original is back"));
    expect_user_files_untouched();
    expect_nothing_left(dead_driver_files);
}

TEST_F(FaultMatrix, FullOrRefusingFileSystemStopsTheRunWithTheReasonAndNothingChanged) {
    const std::string lib_name = fs::path(lib).filename().string();
    const struct {
        std::vector<std::string> env;
        std::string message;
        int error;  // whose text the report includes, when not 0
    } cells[] = {
        {shim("write", "/." + lib_name + ".ryn-new", ENOSPC), "Cannot replace " + lib + " with ",
         ENOSPC},
        {shim("rename", "/.prog.ryn-new", EROFS), "Cannot replace " + fixture.program + " with ",
         EROFS},
        {shim("link", "/." + lib_name + ".ryn-saved", EACCES),
         "Cannot keep the original of " + lib + " (errno = 13)", EACCES},
        {shim("mkdir", work / "cache", EROFS), "mkdirp() call failed on " + work / "cache", 0},
    };
    for (const auto& cell : cells) {
        SCOPED_TRACE(cell.message);
        // Every cell starts from an empty cache, so that the engine runs.
        fs::remove_all(work / "cache");
        const RunResult result = run_front_end("ryn", in_place(), cell.env);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(ryn_e2e::holds(result.err, "ryn (error): " + cell.message));
        if (cell.error != 0) {
            EXPECT_TRUE(ryn_e2e::holds(result.err, strerror(cell.error)));
        }
        expect_user_files_untouched();
        expect_nothing_left();
    }
}

TEST_F(FaultMatrix, SuccessfulRunWritesThroughALinkAndLeavesOnlyTheInstrumentedProgram) {
    // The checker without -o rewrites the file the link points to; the link stays.
    const std::string link = work / "src/prog-link";
    fs::create_symlink(fixture.program, link);
    const RunResult result = run_front_end("memvex", {link});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_FALSE(ryn_test::read_file(fixture.program) == original_prog.content);
    EXPECT_EQ(snapshot(fixture.program).mode, original_prog.mode);
    expect_nothing_left();
    EXPECT_EQ(ryn_test::run({fixture.program}, {}, work.path()).out, "hello\nsum:1\n");
}

}  // namespace
