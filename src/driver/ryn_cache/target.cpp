// Building a target: its cache locations, putting back an original left
// instrumented in place, and the check that decides whether it takes part.
#include "ryn/target.h"

#include <cstdio>
#include <string>

#include "driver/ryn_util/kept_originals.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"

namespace ryn {

Target::Target(RynCache* cache, const char* base, const char* path, bool is_shared_lib,
               ExecUtil* util, const TargetOptions& options)
    : cache(cache),
      name(path),
      replaceable(options.replaceable),
      util(util),
      is_shared_lib(is_shared_lib),
      is_main(options.is_main) {
    compute_target_locations(base);
    // A driver killed while this file stood replaced could not put it back;
    // do it before the file is judged.
    if (replaceable) {
        ryn::recover_left_replacement(*util, name.c_str());
    }
    if (options.restore_first && !util->replace_target_with_orig(this)) {
        valid = false;
        return;
    }

    // Files inside the cache are the driver's own copies; the check leaves
    // them unlocked.
    const std::string lock_dir = cache->cache_top();
    bool previously_instrumented = false;
    valid = util->check_target(
        name.c_str(), {.lock_dir = lock_dir.c_str(),
                       .write_check = replaceable,
                       .skip_instr_check = options.skip_instr_check,
                       .require_annotations = options.require_annotations,
                       .previously_instrumented = replaceable ? &previously_instrumented : nullptr,
                       .has_annotations = &has_annotations});
    if (valid || !previously_instrumented) {
        return;
    }
    // An earlier run left its instrumented copy in place of the file: put the
    // saved original back and judge that instead.
    if (!util->replace_target_with_orig(this)) {
        valid = false;
        return;
    }
    valid = util->check_target(name.c_str(), {.lock_dir = lock_dir.c_str(),
                                              .write_check = replaceable,
                                              .skip_instr_check = options.skip_instr_check,
                                              .require_annotations = options.require_annotations});
    compute_target_locations(base);
}

bool Target::replace() const { return replaceable && cache && cache->policy.replace_in_place; }

void Target::dump() const {
    printf("\n  ==Target %s (%s)\n", name.c_str(), is_shared_lib ? "shared lib" : "executable");
    printf("    cache dir: %s\n", cache_dir.c_str());
    printf("    cached name: %s\n", cached_name.c_str());
    printf("    Rebuild %d\n", rebuild ? 1 : 0);
    printf("\n");
}

}  // namespace ryn
