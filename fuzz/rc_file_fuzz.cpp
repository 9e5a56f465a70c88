// The configuration-file reader on arbitrary file contents, read for both
// front ends, and every query on what it kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "ryn/rc_data.h"

using namespace ryn;

namespace {

// The installation's file is the fuzzed one; HOME, which is also the
// current directory while an input runs, holds none, so each input is read
// exactly once.
struct World {
    std::string install_dir = ryn_fuzz::scratch_dir() + "/lib";
    std::string rc_file = install_dir + "/ryn.rc";
    std::string home = ryn_fuzz::scratch_dir() + "/home";
    World() {
        if (system(("mkdir -p " + install_dir + " " + home).c_str()) != 0) {
            abort();
        }
        setenv("HOME", home.c_str(), 1);
    }
};

// Only the function lists go to a temporary file in a run; the others are
// asked as option strings.
void query(rcData& rc, bool to_file) {
    for (const char* name : rcData::names) {
        rc.optString("-blacklist=", name, to_file && strstr(name, "FUNC") != nullptr);
        rc.optString("", name, false);
        ArgCache list;
        rc.library_list(name, &list);
    }
    rc.optString("-blacklist=", "UNKNOWN", false);
    rc.optString(nullptr, rcData::names[0], false);
    ArgCache list;
    rc.library_list("IGNORABLE", &list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const World world;
    const ryn_fuzz::InDirectory in_home(world.home);
    ryn_fuzz::write_bytes(world.rc_file, data, size);
    const int verbosity = size > 0 ? data[0] % 3 : 0;
    for (const bool memvex : {false, true}) {
        ExecUtil util(memvex ? "memvex" : "ryn");
        ryn_fuzz::run_until_end([&] {
            rcData rc(memvex, world.install_dir.c_str(), verbosity, &util);
            query(rc, true);
            // A second reading of the same file on top of the first.
            rc.set_rc(world.rc_file.c_str(), false);
            query(rc, false);
        });
        // The temporary files that optString wrote.
        util.cleanup();
    }
    return 0;
}
