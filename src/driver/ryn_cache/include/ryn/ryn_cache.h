// The run's targets in a chained hash table keyed by absolute path, and the
// per-user cache directory that holds their instrumented copies.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ryn/arg_cache.h"
#include "ryn/target.h"

namespace ryn {

class ExecUtil;

// What the cache and its targets need to know of the run. The driver hands it
// down, so that this layer never reads the driver.
struct CachePolicy {
    bool memvex = false;            // keep fully and write-only instrumented copies apart
    bool replace_in_place = false;  // replaceable targets' copies replace their files
    bool very_verbose = false;      // trace the dependency listing
    std::string audit_lib_path;     // audit library that lists a program's dependencies
    // The memory checker's choice of fully instrumented targets.
    bool tell_mode = false;                      // the main program is never fully checked
    bool no_main_full_instr = false;             // nor when this is set
    bool check_all_libraries = false;            // every library is
    std::optional<std::string> check_file_spec;  // check file of the main program
    std::vector<std::string> memvex_check_list;  // "library[:check file]" checked fully
};

class RynCache {
public:
    struct Node {
        Node* next = nullptr;
        std::string key;
        uint32_t hash = 0;
        std::unique_ptr<Target> target;
    };

    RynCache(const char* dir, bool use_home, const char* kind, bool follow_dependencies,
             ExecUtil* util, CachePolicy policy);
    ~RynCache();
    RynCache(const RynCache&) = delete;
    RynCache& operator=(const RynCache&) = delete;

    Target* add_target(const char* path, bool* uses_cxx_runtime, const TargetOptions& options);
    Target* lookup(const char* path, bool is_shared_lib, bool* created,
                   const TargetOptions& options);
    void resize_hash();
    static constexpr uint32_t encodeString(const char* s) {
        uint32_t h = 0;
        for (; *s; ++s) {
            // Bytes above 127 count as negative, as a signed char would.
            // NOLINTNEXTLINE(bugprone-signed-char-misuse): the sign is the point
            const auto c = static_cast<int32_t>(static_cast<signed char>(*s));
            h = h * 5 + static_cast<uint32_t>(c);
        }
        return h;
    }
    // The cache directory (base without its last component). The text lives in
    // `scratch` and is overwritten by the next call.
    const char* cache_top();
    void dump();

    int ntargets = 0;
    uint32_t nbuckets = 13;
    std::vector<Node*> table;  // chain heads; nodes are owned by the table
    std::string base;          // cache directory + "/" + kind
    char scratch[1024] = {};
    ArgCache ignorable_libs;
    ArgCache write_only_libs;
    bool follow_dependencies;
    const char* kind;  // not owned
    ExecUtil* util;    // not owned
    CachePolicy policy;

private:
    // Grows the table when it holds more targets than buckets.
    void grow_if_needed();
    // Links a new target for `key` (hash `hash`) at the head of its chain.
    Target* insert_new(const std::string& key, uint32_t hash, bool is_shared_lib,
                       const TargetOptions& options);
    // The node stored under `key`, or null.
    Node* find(const std::string& key, uint32_t hash) const;
};

class CacheIterator {
public:
    explicit CacheIterator(RynCache* cache) : cache_(cache) {}
    Target* get_next_target();

private:
    RynCache* cache_;
    uint32_t next_bucket_ = 0;
    RynCache::Node* pending_ = nullptr;
};

}  // namespace ryn
