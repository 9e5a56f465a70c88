// The process-wide utility object: message reporting, command execution,
// signals and clean-up, file operations, ELF inspection, file locks and
// digests. Exactly one instance (a RynExecUtil) exists per run, reachable
// through the global _util.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ryn/arg_cache.h"
#include "ryn/i18n.h"

namespace ryn {

class Target;

// Constants of the file-lock protocol.
constexpr int RYN_LOCK_INTERVAL = 180;       // seconds after which a link lock is stale
constexpr int RYN_LOCK_RETRY_DELAY = 2;      // scale of the random pause between attempts
constexpr int RYN_LOCK_RETRY_LIMIT = 10000;  // bound on the number of attempts

// How run_command starts a command and judges its end. The defaults run it
// in the foreground with the driver's own descriptors and end the run when
// it fails.
struct RunOptions {
    bool no_wait = false;           // return once started; the caller ends it
    bool tolerate_failure = false;  // a failure returns false instead of ending the run
    bool ignore_sigint = false;     // an interrupt while waiting reaches the child only
    int stdout_fd = -1;             // duplicated onto the child's 1 unless -1
    int stderr_fd = -1;             // duplicated onto the child's 2 unless -1
    unsigned long stack_limit = 0;  // the child's stack limit; 0 leaves it alone
    bool unset_ldaudit = false;     // run through the shell with LD_AUDIT unset
};

// What check_target asks of a file and how it reports.
struct CheckOptions {
    const char* lock_dir = nullptr;           // a file below it is read under a shared lock
    int level = 0;                            // 0 probes quietly; 1 says why; 2 says more
    bool write_check = false;                 // the file must be replaceable
    bool skip_instr_check = false;            // accept a file already instrumented
    MESSAGE_TYPE severity = MSG_WARNING;      // of the reports; an error ends the run
    bool require_annotations = true;          // refuse a file without annotations
    bool* previously_instrumented = nullptr;  // set when the file is already instrumented
    bool* has_annotations = nullptr;          // set to whether it carries annotations
};

class ExecUtil {
public:
    explicit ExecUtil(const char* component);
    virtual ~ExecUtil();
    ExecUtil(const ExecUtil&) = delete;
    ExecUtil& operator=(const ExecUtil&) = delete;

    // Virtual operations, in slot order.
    virtual bool replace_target_with_orig(Target* target);
    virtual void restore();

    // Messages. An error restores, cleans up and exits with status 1; a
    // warning or an info line returns.
    void report_error(MESSAGE_TYPE type, int err, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    [[noreturn]] void fatal(int err, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Command execution and clean-up.
    bool run_command(const ArgCache* cmd, const RunOptions& options = {});
    bool check_wait_status(long wait_result, int status, bool tolerate_failure,
                           bool custom_sigchld);
    bool is_TAV_5x() const { return false; }
    void cleanup();
    void setup_handler();

    // File operations; every failure is fatal.
    void rm_command(const char* path);
    void ln_command(const char* from, const char* to);
    void create_directory(const char* path);
    // Puts a copy of `from` in place of the user's file `to` (through a
    // symbolic link, the file it points to) in one rename, keeping the mode
    // and times of `from`. With `keep_current`, the file replaced is kept
    // beside it until the run ends and put back if the run fails. When
    // `already_there` says that `to` holds that copy already, nothing is
    // written (the trace line is printed all the same).
    void replace_user_file(const char* from, const char* to, bool keep_current,
                           const std::function<bool()>& already_there = nullptr);
    std::string make_full_path(const char* path);

    // ELF inspection and the target check.
    bool is_shared_object(const char* path, bool strict);
    // Copies the data of section `name` into *data; returns its size, or -1
    // (leaving *data alone) when the file has no such section.
    int extract_section_from_elf(const char* path, const char* name, std::vector<char>* data,
                                 int* is64);
    bool is_64_bit_binary(const char* path);
    std::unique_ptr<ArgCache> ryn_comments(const char* path);
    bool check_target(const char* path, const CheckOptions& options);

    // File locks.
    int acquire_lock_file(const char* path, bool shared);
    void release_lock_file(int fd, const char* path);
    int acquire_link_lock(const char* path);
    std::string get_link_lock_file(const char* path);
    std::string get_link_lock_process_file(const char* path);
    int retry_lockf_op(int fd, int op, bool shared);
    void filelock_cleanup();

    // Digests, file lists and names.
    std::string get_hash(const char* first, const char* second);
    uint64_t crc64(const unsigned char* bytes, uint32_t length);
    char* remove_version_from_shlib_name(char* name);
    void read_instr_log(const char* path, ArgCache* list);
    void set_component(const char* name);

    bool dry_run = false;
    bool verbose = false;
    bool very_verbose = false;
    bool remove_instrumented = false;
    ArgCache temp_files;    // removed by cleanup
    ArgCache locked_files;  // paths this process created link locks for
    std::string component;  // printed first on every reported line

private:
    bool reporting_fatal_ = false;  // a fatal report is restoring and cleaning up
    // The command last started, named when it fails.
    std::string running_program_;
    std::string running_target_;
};

// The one utility object; set when it is created.
extern ExecUtil* _util;

// The 32-digit text of a 16-byte MD5 digest: four little-endian 32-bit words,
// each printed with "%.8x" (so not the usual MD5 hex form). Cache names and
// stamps depend on it. Defined in ryn_util/digest_text.cpp.
std::string md5_digest_text(const unsigned char (&digest)[16]);

// Quotes a path for the shell only when it holds a character outside
// A-Z a-z 0-9 _ . / , + - = : @ %; then it is written in single quotes.
std::string shell_quote(std::string_view path);

}  // namespace ryn
