// Pieces shared by the two lock schemes and the lock clean-up.
#pragma once

#include <cstddef>

#include <sys/types.h>

namespace ryn {

class ExecUtil;

constexpr const char* k_link_lock_suffix = ".link.lock";
constexpr const char* k_record_lock_suffix = ".lock";
// Taken, as one more name of the waiter's process file, while a waiter takes
// a lock over from a dead or stale holder, so that two waiters never remove
// each other's fresh lock.
constexpr const char* k_lock_breaker_suffix = ".link.lock.break";

// Host names are at most this long; one more byte holds the NUL.
constexpr std::size_t k_host_name_max = 256;

// Record locks through fcntl replace link locks while this variable is set.
// Read at every call, so a test or a wrapper can switch schemes at run time.
bool record_locks_selected();

// Sleeps 1 or 2 seconds, drawn from the unseeded drand48 sequence, so that
// waiters started together drift apart.
void pause_before_retry();

// Stores the host name (empty on failure) and says whether gethostname
// worked. Async-signal-safe.
bool read_host_name(char (&host)[k_host_name_max + 1]);

// Writes path + ".link.lock" into out. Returns the length the name needs
// (without the NUL); the name is complete only when that is below cap.
// Async-signal-safe.
std::size_t format_link_lock_file(char* out, std::size_t cap, const char* path);

// Writes path + ".link.lock.break" into out, with the same contract.
// Async-signal-safe.
std::size_t format_lock_breaker_file(char* out, std::size_t cap, const char* path);

// Writes path "." host "." pid ".link.lock" into out, with the same contract.
std::size_t format_link_lock_process_file(char* out, std::size_t cap, const char* path,
                                          const char* host, pid_t pid);

// Creates the directory that will hold `path` (with its parents) when it is
// missing; a path without a directory part lives in the working directory.
void ensure_parent_directory(ExecUtil& util, const char* path);

}  // namespace ryn
