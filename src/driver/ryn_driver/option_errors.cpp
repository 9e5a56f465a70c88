#include "driver/ryn_driver/option_errors.h"

#include "ryn/exec_util.h"

namespace {
constexpr std::size_t k_option_text_max = 1023;
}

void invalid_option(ExecUtil& util, const char* option) {
    util.fatal(0, "Invalid option: %s", option);
}

const char* option_value(ExecUtil& util, char** cursor) {
    if (cursor[1] == nullptr) {
        invalid_option(util, cursor[0]);
    }
    return cursor[1];
}

std::string bounded_option(const char* prefix, const char* text) {
    std::string option = std::string(prefix) + text;
    if (option.size() > k_option_text_max) {
        option.resize(k_option_text_max);
    }
    return option;
}
