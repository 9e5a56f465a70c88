// One executable or shared object handled by the driver, with the paths of
// its instrumented copy in the cache, its stamp and its rebuild decision.
#pragma once

#include <optional>
#include <string>

namespace ryn {

class ArgCache;
class ExecUtil;
class RynCache;

// How a file is registered as a target and checked.
struct TargetOptions {
    bool is_main = false;
    bool skip_instr_check = false;    // accept a file already instrumented (-r)
    bool restore_first = false;       // put the original back before the check
    bool replaceable = false;         // the run may replace the file in place
    bool require_annotations = true;  // refuse a file without annotations (not lite mode)
};

class Target {
public:
    Target(RynCache* cache, const char* base, const char* path, bool is_shared_lib, ExecUtil* util,
           const TargetOptions& options);
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    void compute_target_locations(const char* base);
    // Writes the 32-digit digest of the file's content and a NUL into out
    // (at least 34 bytes).
    void compute_checksum(char* out);
    bool check_and_set_memvex_full_instr_flag();
    bool replace() const;
    bool should_rebuild(ArgCache* morphel_args, const char* morphel_path, bool verbose);
    bool compare_morphel_version(const char* cached_version, const char* morphel_path,
                                 bool verbose);
    void compute_dependencies(RynCache* cache, bool* uses_cxx_runtime, bool skip_instr_check);
    // Records `checksum` in the stamp file beside the cached copy; called under
    // the target's lock once the engine has produced the copy.
    void write_stamp() const;
    std::string stamp_name() const { return cached_name + ".cksum_tstamp"; }
    // The record of the file's identity when its digest was last computed,
    // kept beside the stamp; rewritten under the target's lock.
    std::string identity_name() const { return cached_name + ".identity"; }
    void write_identity_record() const;
    // Whether the cached copy and its stamp exist and the stamp records
    // `checksum` (only its first 32 characters count).
    bool stamp_matches() const;
    void dump() const;

    RynCache* cache;            // not owned
    std::string name;           // absolute path of the file
    std::string cached_name;    // instrumented copy in the cache
    std::string cache_dir;      // directory holding cached_name
    std::string original_name;  // cached_name + ".original"
    bool replaceable;
    bool replaced = false;
    ExecUtil* util;  // not owned
    bool rebuild = true;
    bool is_shared_lib;
    bool valid = false;
    bool has_annotations = false;
    bool full_instr = false;
    bool is_main;
    std::string checksum;                      // 32 hex digits of content and mtime
    std::optional<std::string> instr_options;  // check-file text
    std::string identity_record;               // to be written under the lock; empty if none
};

}  // namespace ryn
