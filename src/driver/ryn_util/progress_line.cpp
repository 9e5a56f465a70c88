#include "driver/ryn_util/progress_line.h"

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "driver/ryn_util/unique_fd.h"

namespace ryn {

namespace {

// Read from signal handlers: plain atomics only.
std::atomic<bool> g_shown{false};
std::atomic<int> g_engine_output{-1};

constexpr char k_clear[] = "\r\033[K";
constexpr int k_default_columns = 80;

// What the engine wrote while the line was shown, passed on in one piece.
void relay_engine_output() noexcept {
    const int fd = g_engine_output.load();
    if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) {
        return;
    }
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        write_all(STDERR_FILENO, {buffer, static_cast<size_t>(got)});
    }
    if (ftruncate(fd, 0) == 0) {
        lseek(fd, 0, SEEK_SET);
    }
}

int terminal_columns() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return k_default_columns;
}

}  // namespace

void clear_progress_line() noexcept {
    if (g_shown.exchange(false)) {
        write_all(STDERR_FILENO, {k_clear, sizeof k_clear - 1});
    }
    relay_engine_output();
}

bool progress_terminal() {
    const char* term = getenv("TERM");
    return isatty(STDERR_FILENO) == 1 && term && *term && strcmp(term, "dumb") != 0;
}

std::string progress_text(const std::string& component, int done, int total,
                          const std::string& target, int columns) {
    const size_t width = static_cast<size_t>(std::max(columns - 1, 1));
    std::string text =
        component + ": " + std::to_string(done) + "/" + std::to_string(total) + " instrumenting ";
    if (text.size() + target.size() <= width) {
        return text + target;
    }
    if (text.size() + 4 > width) {
        text.resize(width);
        return text;
    }
    // The end of a path tells the targets apart; never start inside a
    // multibyte character.
    size_t from = target.size() - (width - text.size() - 3);
    while (from < target.size() && (static_cast<unsigned char>(target[from]) & 0xC0) == 0x80) {
        ++from;
    }
    return text + "..." + target.substr(from);
}

ProgressLine::ProgressLine(const std::string& component, int total, int expected_engine_runs,
                           bool allowed)
    : component_(component),
      total_(total),
      expected_engine_runs_(expected_engine_runs),
      terminal_(allowed && progress_terminal()) {}

ProgressLine::~ProgressLine() {
    clear_progress_line();
    const int fd = g_engine_output.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
}

void ProgressLine::target_done() {
    ++done_;
    // Words from an engine that succeeded go out now, not at the next message.
    const int fd = g_engine_output.load();
    if (fd >= 0 && lseek(fd, 0, SEEK_END) > 0) {
        clear_progress_line();
    }
}

int ProgressLine::engine_starts(const std::string& target) {
    ++engine_runs_;
    // Copies found stale only one by one still make a long run.
    if (!terminal_ || std::max(expected_engine_runs_, engine_runs_) <= k_progress_threshold) {
        return -1;
    }
    if (g_engine_output.load() < 0) {
        g_engine_output.store(memfd_create("ryn-engine-output", MFD_CLOEXEC));
    }
    if (g_engine_output.load() < 0) {
        // Nowhere to hold the engine's words: it writes to the terminal,
        // which must not show the line then.
        clear_progress_line();
        return -1;
    }
    const std::string line =
        k_clear + progress_text(component_, done_, total_, target, terminal_columns());
    // Marked first: a signal arriving while the line is written still
    // clears it.
    g_shown.store(true);
    write_all(STDERR_FILENO, line);
    return g_engine_output.load();
}

}  // namespace ryn
