// What every harness needs: a run the driver ends comes back as a status
// instead of ending the fuzzer, and a private scratch directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryn_fuzz {

// Runs `body`. When the driver ends the run (exit or _exit, a fatal report
// included), returns that status; the frames in between are left without
// their destructors, so descriptors opened meanwhile are closed here.
std::optional<int> run_until_end(const std::function<void()>& body);

// A directory of this process, created on first use under TMPDIR (or /tmp)
// and removed when the process exits normally.
const std::string& scratch_dir();

// Works in `dir` until destroyed. libFuzzer names its corpus and artifacts
// relative to the directory it started in, so no harness may stay elsewhere.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir);
    ~InDirectory();
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    int previous_;
};

// Replaces the file at `path` with `bytes`.
void write_bytes(const std::string& path, const uint8_t* data, size_t size);

// The input cut into pieces at each NUL (a last piece without one included).
std::vector<std::string> split_at_nul(const uint8_t* data, size_t size);

}  // namespace ryn_fuzz
