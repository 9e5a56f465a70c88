#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <sanitizer/allocator_interface.h>
#include <sanitizer/lsan_interface.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "driver/ryn_util/run_ending.h"

extern "C" {
[[noreturn]] void __real_exit(int status);
[[noreturn]] void __real__exit(int status);
}

namespace {

// Set while a harness body runs; libFuzzer's own exit must still end the process.
jmp_buf* active_end = nullptr;
int end_status = 0;

[[noreturn]] void end_run(int status) {
    end_status = status;
    jmp_buf* target = active_end;
    active_end = nullptr;
    longjmp(*target, 1);
}

// Memory the body allocated and still holds. When the run ends, the frames
// that owned it are gone, as they would be in a process that exits; only a
// body that returns must give back all it took. The hooks run inside the
// allocator, so they keep to a fixed table.
constexpr size_t k_tracked_max = 1 << 15;
const volatile void* tracked[k_tracked_max];
size_t tracked_count = 0;
bool tracking = false;

void on_malloc(const volatile void* ptr, size_t) {
    if (tracking && tracked_count < k_tracked_max) {
        tracked[tracked_count++] = ptr;
    }
}

void on_free(const volatile void* ptr) {
    if (!tracking) {
        return;
    }
    for (size_t i = tracked_count; i > 0; --i) {
        if (tracked[i - 1] == ptr) {
            tracked[i - 1] = nullptr;
            return;
        }
    }
}

void start_tracking() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    (void)installed;
    tracked_count = 0;
    tracking = true;
}

// Hands what the ended frames held to the leak checker as intended.
void release_tracked() {
    tracking = false;
    for (size_t i = 0; i < tracked_count; ++i) {
        if (tracked[i]) {
            __lsan_ignore_object(const_cast<const void*>(tracked[i]));
        }
    }
    tracked_count = 0;
}

std::set<int> open_descriptors() {
    std::set<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        return fds;
    }
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != own) {
            fds.insert(fd);
        }
    }
    closedir(dir);
    return fds;
}

void close_descriptors_except(const std::set<int>& keep) {
    for (const int fd : open_descriptors()) {
        if (!keep.contains(fd)) {
            close(fd);
        }
    }
}

}  // namespace

extern "C" void __wrap_exit(int status) {
    if (active_end) {
        end_run(status);
    }
    __real_exit(status);
}

extern "C" void __wrap__exit(int status) {
    if (active_end) {
        end_run(status);
    }
    __real__exit(status);
}

namespace ryn_fuzz {

namespace {

// A plain copy: the handler runs after the static string is destroyed.
char scratch_path[4096];

void remove_scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_path, ignored);
}

}  // namespace

std::optional<int> run_until_end(const std::function<void()>& body) {
    const std::set<int> open_before = open_descriptors();
    jmp_buf env;
    if (setjmp(env) != 0) {
        ryn::set_run_end_hook(nullptr);
        release_tracked();
        close_descriptors_except(open_before);
        return end_status;
    }
    active_end = &env;
    // The driver's ending hands over through its hook, after it has made
    // itself ready to end the next run; exit stays wrapped for code that
    // calls it directly.
    ryn::set_run_end_hook(end_run);
    start_tracking();
    body();
    tracking = false;
    active_end = nullptr;
    ryn::set_run_end_hook(nullptr);
    return std::nullopt;
}

const std::string& scratch_dir() {
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ryn_fuzz.XXXXXX";
        if (!mkdtemp(pattern.data())) {
            perror("mkdtemp");
            abort();
        }
        snprintf(scratch_path, sizeof scratch_path, "%s", pattern.c_str());
        atexit(remove_scratch_dir);
        return pattern;
    }();
    return dir;
}

InDirectory::InDirectory(const std::string& dir)
    : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (previous_ < 0 || chdir(dir.c_str()) != 0) {
        perror(dir.c_str());
        abort();
    }
}

InDirectory::~InDirectory() {
    if (fchdir(previous_) != 0) {
        perror("fchdir");
        abort();
    }
    close(previous_);
}

void write_bytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
        perror(path.c_str());
        abort();
    }
    if (size > 0 && fwrite(data, 1, size, file) != size) {
        perror(path.c_str());
        abort();
    }
    fclose(file);
}

std::vector<std::string> split_at_nul(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces;
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '\0') {
            if (i < size || i > start) {
                pieces.emplace_back(text + start, i - start);
            }
            start = i + 1;
        }
    }
    return pieces;
}

}  // namespace ryn_fuzz
