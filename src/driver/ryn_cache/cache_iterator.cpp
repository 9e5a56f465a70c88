// Walks the cache by bucket index, and within a bucket from the most recently
// linked target to the oldest.
#include "ryn/ryn_cache.h"

namespace ryn {

Target* CacheIterator::get_next_target() {
    if (cache_->ntargets <= 0) {
        return nullptr;
    }
    if (pending_) {
        RynCache::Node* node = pending_;
        pending_ = node->next;
        return node->target.get();
    }
    while (next_bucket_ < cache_->nbuckets) {
        RynCache::Node* head = cache_->table[next_bucket_++];
        if (head) {
            pending_ = head->next;
            return head->target.get();
        }
    }
    return nullptr;
}

}  // namespace ryn
