// Whether a cached copy can be reused: it must exist, match the file's stamp,
// and have been made by this engine with the same command line.
#include "i18n/driver_texts.h"
#include "ryn/target.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "driver/ryn_util/sigchld_handler.h"
#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"

namespace {

constexpr size_t k_args_label_len = sizeof("instrumentation args: ") - 1;

// The engine's version line, asked for at most once per process whatever
// engine path later calls pass.
std::optional<std::string> engine_version;

std::string query_engine_version(ExecUtil* util, const char* morphel_path, const char* kind) {
    const char* mode = strcmp(kind, "count") == 0 ? "-ryn" : "-ped";
    const std::string command = "unset LD_AUDIT; " + shell_quote(morphel_path) + " " + mode +
                                " -V 2>&1 | grep -v usage";
    // A SIGCHLD handler may reap the shell before pclose can; pclose then
    // fails for a command that ran fine, but it still releases the stream.
    const bool handler_reaps = ryn::sigchld_has_handler();
    FILE* stream = popen(command.c_str(), "r");
    if (!stream) {
        util->fatal(0, get_msg(RYN_CANNOT_EXECUTE), morphel_path);
    }
    char line[1024];
    if (!fgets(line, sizeof line, stream)) {
        util->fatal(0, get_msg(RYN_CANNOT_EXECUTE), morphel_path);
    }
    char rest[1024];
    while (fgets(rest, sizeof rest, stream)) {
    }
    if (pclose(stream) == -1 && !handler_reaps) {
        util->fatal(errno, get_msg(GENERAL_ERROR), driver_text(DriverText::NO_ENGINE_VERSION));
    }
    if (char* newline = strrchr(line, '\n')) {
        *newline = '\0';
    }
    return line;
}

}  // namespace

bool Target::compare_morphel_version(const char* cached_version, const char* morphel_path,
                                     bool verbose) {
    if (!engine_version) {
        engine_version = query_engine_version(util, morphel_path, cache->kind);
    }
    if (*engine_version == cached_version) {
        return true;
    }
    if (verbose) {
        util->report_error(MSG_INFO, 0,
                           driver_text(DriverText::ENGINE_VERSION_CHANGED),
                           cached_version, engine_version->c_str());
    }
    return false;
}

bool Target::should_rebuild(ArgCache* morphel_args, const char* morphel_path, bool verbose) {
    struct stat st {};
    if (stat(cached_name.c_str(), &st) != 0) {
        rebuild = true;
        return true;
    }
    if (rebuild) {
        // Another driver may have made the copy while this one waited for
        // the lock; its stamp then matches and the copy is judged as usual.
        if (!stamp_matches()) {
            return true;
        }
        rebuild = false;
    }
    if (!morphel_args || !morphel_path) {
        return false;
    }
    const std::unique_ptr<ArgCache> records = util->ryn_comments(cached_name.c_str());
    if (records->empty()) {
        return true;
    }
    if (records->count == 1) {
        compare_morphel_version((*records)[0], morphel_path, verbose);
        return true;
    }
    if (!compare_morphel_version((*records)[1], morphel_path, verbose)) {
        return true;
    }
    // The first record is the label "instrumentation args: " and the command
    // line that made the copy; only the command line is compared.
    const char* recorded = (*records)[0];
    return strlen(recorded) < k_args_label_len ||
           morphel_args->sprint() != recorded + k_args_label_len;
}
