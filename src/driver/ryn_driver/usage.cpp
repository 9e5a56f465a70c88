#include <cstdio>

#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/run_ending.h"
#include "ryn/ryn_driver.h"

namespace ryn {

void usage(const InstallLocations& loc) {
    // Before the executable is located the invoked name is not known yet.
    fprintf(stderr, short_usage, loc.program_name ? loc.program_name->c_str() : "ryn", "     ");
}

void usage_exit(const InstallLocations& loc, int status) {
    usage(loc);
    // Files a run made before its command line was refused go as on any failure.
    ryn::end_run(status);
}

}  // namespace ryn
