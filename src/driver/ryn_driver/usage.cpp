#include <cstdio>
#include <cstdlib>

#include "ryn/ryn_driver.h"

void RynDriver::usage() const {
    // Before the executable is located the invoked name is not known yet.
    fprintf(stderr, short_usage, program_name ? program_name->c_str() : "ryn", "     ");
}

void RynDriver::usage_exit(int status) const {
    usage();
    exit(status);
}
