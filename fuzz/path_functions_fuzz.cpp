// Every exported path function on arbitrary paths, among symbolic links that
// lead up, sideways, to the root and round in circles.
#include <limits.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ryn/pathutil.h"

namespace {

// The documented limit of a canonical result, with its terminating NUL.
constexpr size_t k_result_size = 1025;

struct World {
    std::string dir = ryn_fuzz::scratch_dir() + "/cwd";
    World() {
        const std::string make = "mkdir -p " + dir + "/d/e/f && cd " + dir +
                                 " && ln -s d/e rel && ln -s /usr/lib abs && ln -s .. up"
                                 " && ln -s loop loop && ln -s d/e/f/../../.. back"
                                 " && cp /bin/true d/e/tool && ln -s e/tool d/tool";
        if (system(make.c_str()) != 0) {
            abort();
        }
    }
};

// Exactly the documented size on the heap, so that one byte more is caught.
void canonicalize(const std::string& source) {
    const auto destination = std::make_unique<char[]>(k_result_size);
    const char* result = canonicalizePath(source.c_str(), destination.get());
    if (result != destination.get() || strlen(result) >= k_result_size) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const World world;
    const ryn_fuzz::InDirectory in_scratch(world.dir);
    // First piece: the path; second: a working directory; third: PATH.
    const std::vector<std::string> pieces = ryn_fuzz::split_at_nul(data, size);
    const std::string path = pieces.empty() ? std::string() : pieces[0];
    const std::optional<std::string> other =
        pieces.size() > 1 ? std::optional<std::string>(pieces[1]) : std::nullopt;
    if (path.size() >= k_result_size) {
        return -1;
    }

    canonicalize(path);
    if (pieces.size() > 2) {
        canonicalizeReset();
    }
    char real[PATH_MAX];
    canonicalizePathEx(path.c_str(), real);
    canonicalizePathEx(nullptr, real);

    const char* base = getBasename(path.c_str());
    if (base < path.c_str() || base > path.c_str() + path.size() || getBasename(nullptr)) {
        __builtin_trap();
    }
    free(getDirname(path.c_str()));
    free(getDirname(nullptr));

    fyuIscwd(path.c_str());
    fyuIscwd(nullptr);
    if (pieces.size() > 2) {
        setenv("PATH", pieces[2].c_str(), 1);
    }
    fyuFindExecDir(path.c_str(), other ? other->c_str() : nullptr);
    fyuGetExecDir();
    fyuGetCmdName();
    fyuSaveWorkingDir(other ? other->c_str() : nullptr);
    fyuGetWorkingDir();
    if (fyuChdir(path.c_str()) == 0) {
        fyuGetWorkingDir();
    }
    // The next input starts from a working directory that is not remembered.
    fyuSaveWorkingDir(nullptr);
    return 0;
}
