// A target's steps end or refuse cleanly: a file replaced in place is put
// back only when it may be written (otherwise it stays, with a word), and
// building its check-file option without memory ends the run with the
// message and status 1, not an abort.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>

#include "driver/ryn_driver/phases.h"
#include "ryn/arg_cache.h"
#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;

namespace {

bool fail_allocations = false;

}  // namespace

// Allocation fails on demand, to reach the out-of-memory paths.
void* operator new(std::size_t size) {
    if (void* p = fail_allocations ? nullptr : std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return fail_allocations ? nullptr : std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace ryn_test;

using TargetSteps = cache_test::CacheFixture;

TEST_F(TargetSteps, ReadOnlyTargetIsRefusedUnchanged) {
    open_cache();
    // What the instrumentation phase does to a file it replaces in place.
    Target* t = add(prog, false, true);
    write_file(t->original_name, read_file(prog));
    write_file(prog, "instrumented");
    t->replaced = true;
    // In a directory anyone may write to, only the file's own mode can stop it.
    ASSERT_EQ(chmod(prog.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    driver->util().verbose = true;
    // Root may write any file, so judge as an ordinary user in a child.
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && setuid(65534) != 0) {
                exit(3);
            }
            exit(driver->util().replace_target_with_orig(t) ? 4 : 0);
        },
        ::testing::ExitedWithCode(0),
        "^ryn \\(info\\): Will not analyze " + prog + ": Not instrumented.\n\n$");
    EXPECT_EQ(read_file(prog), "instrumented");
}

TEST_F(TargetSteps, CheckFileOptionEndsTheRunCleanlyWithoutMemory) {
    open_cache();
    Target* t = add(prog);
    t->instr_options = "leaks:all,uninit";
    ArgCache list;
    EXPECT_EXIT((fail_allocations = true, add_checkfile_arg(&list, t)),
                ::testing::ExitedWithCode(1), "^ryn: ran out of memory\n$");
}

}  // namespace
