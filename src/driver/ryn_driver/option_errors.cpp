#include "driver/ryn_driver/option_errors.h"

#include "driver/ryn_util/bounded_text.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

void invalid_option(ExecUtil& util, const char* option) {
    util.fatal(0, driver_text(DriverText::INVALID_OPTION), option);
}

const char* option_value(ExecUtil& util, char** cursor) {
    if (cursor[1] == nullptr) {
        invalid_option(util, cursor[0]);
    }
    return cursor[1];
}

std::string bounded_option(const char* prefix, const char* text) {
    return ryn::bounded(std::string(prefix) + text);
}

}  // namespace ryn
