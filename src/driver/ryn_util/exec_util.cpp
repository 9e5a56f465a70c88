#include "ryn/exec_util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/ryn_util/progress_line.h"
#include "driver/ryn_util/run_ending.h"
#include "driver/ryn_util/text_format.h"

namespace ryn {

ExecUtil* _util = nullptr;

ExecUtil::ExecUtil(const char* component) : component(component ? component : "") { _util = this; }

ExecUtil::~ExecUtil() {
    if (_util == this) {
        _util = nullptr;
    }
}

bool ExecUtil::replace_target_with_orig(Target*) { return false; }

void ExecUtil::restore() {}

namespace {

const char* severity_label(MESSAGE_TYPE type) {
    switch (type) {
    case MSG_ERROR: return " (error): ";
    case MSG_WARNING: return " (warning): ";
    case MSG_INFO: return " (info): ";
    }
    return nullptr;
}

}  // namespace

void ExecUtil::report_error(MESSAGE_TYPE type, int err, const char* format, ...) {
    ryn::clear_progress_line();
    fputs(component.c_str(), stderr);
    const char* label = severity_label(type);
    if (!label) {
        fputs("Unknown error type.\n", stderr);
        fflush(stderr);
        ryn::end_run(1);
    }
    fputs(label, stderr);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    if (err != 0) {
        fprintf(stderr, " (errno = %d) %s", err, strerror(err));
    }
    fputs("\n", stderr);
    fflush(stderr);
    if (type != MSG_ERROR) {
        return;
    }
    // A fatal report raised while an earlier one restores and cleans up must
    // not restore again.
    if (reporting_fatal_) {
        ryn::end_run_now(1);
    }
    reporting_fatal_ = true;
    ryn::end_run(1);
}

void ExecUtil::fatal(int err, const char* format, ...) {
    // Formatted in full: a message that names long paths must not be cut.
    va_list ap;
    va_start(ap, format);
    const std::string message = ryn::vformat(format, ap);
    va_end(ap);
    report_error(MSG_ERROR, err, "%s", message.c_str());
    ryn::end_run_now(1);  // not reached: an error report ends the process
}

}  // namespace ryn
