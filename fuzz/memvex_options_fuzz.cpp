// The memory checker's command line: the input is cut at NULs into the
// arguments after the program name and parsed by a fresh driver each time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/ryn_driver/phases.h"
#include "fuzz_support.h"
#include "ryn/ryn_driver.h"

using namespace ryn;

namespace {

constexpr size_t k_max_args = 24;

// Files the -c and operand forms look at: a list file, a shared object, a
// program, and plain text.
struct World {
    std::string dir = ryn_fuzz::scratch_dir() + "/cwd";
    World() {
        const std::string make =
            "mkdir -p " + dir + " && cd " + dir +
            " && printf 'libA.so\\n  \\t\\nlibB.so:chk  \\n' > list"
            " && printf 'text\\n' > text"
            " && cp /bin/true prog"
            " && cp \"$(ldd /bin/true | awk '/libc.so/ { print $3 }')\" libc.so";
        if (system(make.c_str()) != 0) {
            abort();
        }
    }
};

// A name with a '/' could lead anywhere: to a FIFO that blocks the open,
// or, through -a, to directories created and emptied outside the scratch area.
bool stays_inside(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg.find('/') != std::string::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const World world;
    std::vector<std::string> args = ryn_fuzz::split_at_nul(data, size);
    if (args.size() > k_max_args || !stays_inside(args)) {
        return -1;
    }
    const ryn_fuzz::InDirectory in_scratch(world.dir);
    args.insert(args.begin(), "memvex");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // A non-zero audit-library version keeps the fuzzer's signal handlers.
    auto driver = std::make_unique<RynDriver>("memvex", 4, RynDriver::PrepareOnly{});
    driver->locations().program_name = "memvex";
    ryn_fuzz::run_until_end([&] {
        process_memvex_options(static_cast<int>(argv.size() - 1), argv.data(), driver->options(),
                               driver->tool_args(), driver->locations(), driver->util());
        const std::optional<std::string>& target = driver->options().target_path;
        if (!target || target->find(':') != std::string::npos) {
            __builtin_trap();
        }
    });
    return 0;
}
