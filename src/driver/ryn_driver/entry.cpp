// The driver's one entry and the globals it shares with the launcher.
#include "ryn/ryn_driver.h"

extern "C" {

char* runtime_output = nullptr;
int outbufsiz = 0;

// Defaults for programs other than our launcher that load the driver; the
// launcher's own definitions take precedence at run time.
__attribute__((weak)) const char* ver_string = nullptr;
__attribute__((weak)) const char* short_usage =
    "Usage: %s mode [options] target [target arguments]\n%sSee --help for the options.\n";
__attribute__((weak)) const char* long_usage = "%sAnalysis types:\n%s";

const char* ryn_ver_string = "ryn: Binary Instrumentation Driver 1.0";
const char* memvex_ver_string = "memvex: Memory Error Checker 1.0";

void ryn_main_entry(const char* front_end_name, char* output_buffer, int output_size, int argc,
                    char** argv, int lav_version) {
    runtime_output = output_buffer;
    outbufsiz = output_size;
    ryn::RynDriver driver(front_end_name, argc, argv, lav_version);
}

}  // extern "C"
