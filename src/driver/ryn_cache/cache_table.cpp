// The run's targets in a chained hash table keyed by path. Nodes keep their
// full hash, so growing the table never hashes a string again.
#include "ryn/ryn_cache.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "driver/ryn_util/usable_path.h"
#include "ryn/exec_util.h"

namespace ryn {

RynCache::~RynCache() {
    for (Node*& head : table) {
        while (head) {
            Node* next = head->next;
            delete head;
            head = next;
        }
    }
}

// Bytes above 127 count as negative, and the sum wraps at 32 bits.
static_assert(RynCache::encodeString("a\xff") == 97u * 5 - 1);
static_assert(RynCache::encodeString("zzzzzzzzzzzzzzz") == 3073196846u);

void RynCache::resize_hash() {
    const uint32_t grown = nbuckets * 4;
    std::vector<Node*> bigger;
    try {
        bigger.assign(grown, nullptr);
    } catch (const std::bad_alloc&) {
        util->fatal(0, "%s", get_msg(RYN_RAN_OUT_OF_MEMORY));
    }
    for (Node* head : table) {
        while (head) {
            Node* next = head->next;
            Node*& slot = bigger[head->hash % grown];
            head->next = slot;
            slot = head;
            head = next;
        }
    }
    table.swap(bigger);
    nbuckets = grown;
}

void RynCache::grow_if_needed() {
    if (ntargets > static_cast<int64_t>(nbuckets)) {
        resize_hash();
    }
}

RynCache::Node* RynCache::find(const std::string& key, uint32_t hash) const {
    for (Node* node = table[hash % nbuckets]; node; node = node->next) {
        if (node->hash == hash && node->key == key) {
            return node;
        }
    }
    return nullptr;
}

Target* RynCache::insert_new(const std::string& key, uint32_t hash, bool is_shared_lib,
                             const TargetOptions& options) {
    ++ntargets;
    auto node = std::make_unique<Node>();
    node->key = key;
    node->hash = hash;
    node->target =
        std::make_unique<Target>(this, base.c_str(), key.c_str(), is_shared_lib, util, options);
    // Linked only once fully built: a fatal report during construction walks
    // the table to restore replaced files.
    Node*& head = table[hash % nbuckets];
    node->next = head;
    head = node.release();
    return head->target.get();
}

Target* RynCache::add_target(const char* path, bool* uses_cxx_runtime,
                             const TargetOptions& options) {
    ryn::require_usable_target(*util, path);
    const bool is_shared_lib = util->is_shared_object(path, true);
    const std::string full = util->make_full_path(path);
    grow_if_needed();
    const uint32_t hash = encodeString(full.c_str());
    if (Node* node = find(full, hash)) {
        return node->target.get();
    }
    Target* target = insert_new(full, hash, is_shared_lib, options);
    if (follow_dependencies && target->valid) {
        target->compute_dependencies(this, uses_cxx_runtime, options.skip_instr_check);
    }
    return target;
}

Target* RynCache::lookup(const char* path, bool is_shared_lib, bool* created,
                         const TargetOptions& options) {
    grow_if_needed();
    const std::string key = path;
    const uint32_t hash = encodeString(path);
    if (Node* node = find(key, hash)) {
        if (created) {
            *created = false;
        }
        return node->target.get();
    }
    if (created) {
        *created = true;
    }
    return insert_new(key, hash, is_shared_lib, options);
}

void RynCache::dump() {
    printf("======== RYN CACHE: ntargets: %d, base dir %s\n", ntargets, base.c_str());
    if (ntargets > 0) {
        CacheIterator it(this);
        while (const Target* target = it.get_next_target()) {
            target->dump();
        }
    }
}

}  // namespace ryn
