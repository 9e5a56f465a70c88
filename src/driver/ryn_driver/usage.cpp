#include <cstdio>
#include <cstdlib>

#include "driver/ryn_util/run_ending.h"
#include "ryn/ryn_driver.h"

void RynDriver::usage() const {
    // Before the executable is located the invoked name is not known yet.
    fprintf(stderr, short_usage, program_name ? program_name->c_str() : "ryn", "     ");
}

void RynDriver::usage_exit(int status) const {
    usage();
    if (status == 0) {
        exit(0);
    }
    // Files a run made before its command line was refused go as on any failure.
    ryn::end_run(status);
}
