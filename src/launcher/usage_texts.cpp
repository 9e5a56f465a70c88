// Usage texts and version banner supplied to the driver.
#include "ryn/ryn_driver.h"

extern "C" {
__attribute__((visibility("default"))) const char* short_usage =
    "Usage: %s mode [options] target[:check-file] [target arguments]\n%s(placeholder)\n";
__attribute__((visibility("default"))) const char* long_usage = "%s%s";
__attribute__((visibility("default"))) const char* ver_string = "ryn 1.0";
}
