// Building a target's check-file option without memory ends the run cleanly:
// the message, then exit status 1, not an abort.
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

using CheckFileOption = cache_test::CacheFixture;

TEST_F(CheckFileOption, EndsTheRunCleanlyWithoutMemory) {
    open_cache();
    Target* t = add(prog);
    t->instr_options = "leaks:all,uninit";
    ArgCache list;
    EXPECT_EXIT((fail_allocations = true, add_checkfile_arg(&list, t)),
                ::testing::ExitedWithCode(1), "^ryn: ran out of memory\n$");
}

}  // namespace
