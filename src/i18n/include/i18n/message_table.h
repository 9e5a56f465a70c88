// The rows behind get_msg and its companions; internal to the driver.
#pragma once

#include "ryn/i18n.h"

namespace ryn {

// One row of the message table.
struct I18nMessage {
    int severity;          // 0 in row 0, 1 elsewhere
    int set;               // catalog set number
    int number;            // message number within the set
    const char* tag;       // row name
    const char* text;      // default printf format
    const char* help_tag;  // always null
};

extern const I18nMessage I18N_msg[I18N_MSG_COUNT];

}  // namespace ryn
