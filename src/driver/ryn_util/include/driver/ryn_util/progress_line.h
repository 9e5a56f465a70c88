// One self-updating line on a terminal's standard error while the engine
// works through many targets: how many are done, of how many, and which one
// is being instrumented. It never appears in a pipe, a log file, a dry run or
// verbose output, and it is gone before anything else reaches the terminal.
#pragma once

#include <string>

namespace ryn {

// The line for one instrumentation phase; the destructor removes it.
class ProgressLine {
public:
    // `total` targets will be walked, about `expected_engine_runs` of them
    // by the engine; `allowed` is false for dry runs and verbose output.
    ProgressLine(const std::string& component, int total, int expected_engine_runs, bool allowed);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Shows the engine starting on `target` and returns the descriptor the
    // engine's standard error is to go to (relayed once the line is
    // cleared), or -1 to leave it alone.
    int engine_starts(const std::string& target);
    void target_done();

private:
    std::string component_;
    int total_;
    int expected_engine_runs_;
    int engine_runs_ = 0;
    int done_ = 0;
    bool terminal_;
};

// Removes the line, if one is shown, and writes out what the engine said
// meanwhile. Async-signal-safe: every message path and every ending calls it
// first.
void clear_progress_line() noexcept;

// More stale targets than this make a run long enough to show progress.
inline constexpr int k_progress_threshold = 3;

// Whether standard error is a terminal that understands the line's controls.
bool progress_terminal();

// The line's text for `columns` terminal columns: never wider than the
// terminal, since a wrapped line cannot be cleared with one return.
std::string progress_text(const std::string& component, int done, int total,
                          const std::string& target, int columns);

}  // namespace ryn
