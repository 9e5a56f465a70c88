#include "ryn/target.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

RynCache::RynCache(const char*, bool, const char*, bool, ExecUtil*, RynDriver*) : follow_dependencies(false), kind(nullptr), util(nullptr), driver(nullptr) { RYN_PLACEHOLDER(); }

RynCache::~RynCache() { RYN_PLACEHOLDER(); }

Target* RynCache::add_target(bool, const char*, bool*, bool, bool, bool, bool) { RYN_PLACEHOLDER(); }

Target* RynCache::lookup(bool, const char*, bool, bool*, bool, bool, bool, bool) { RYN_PLACEHOLDER(); }

void RynCache::resize_hash() { RYN_PLACEHOLDER(); }

uint32_t RynCache::encodeString(const char*) { RYN_PLACEHOLDER(); }

const char* RynCache::cache_top() { RYN_PLACEHOLDER(); }

void RynCache::dump() { RYN_PLACEHOLDER(); }

void RynCache::grow_if_needed() { RYN_PLACEHOLDER(); }

Target* RynCache::insert_new(const std::string&, uint32_t, bool, bool, bool, bool, bool, bool) { RYN_PLACEHOLDER(); }

RynCache::Node* RynCache::find(const std::string&, uint32_t) const { RYN_PLACEHOLDER(); }

Target* CacheIterator::get_next_target() { RYN_PLACEHOLDER(); }

