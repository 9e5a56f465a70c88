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

#include "driver/ryn_cache/remembered_answer.h"
#include "driver/ryn_util/command_output.h"
#include "driver/ryn_util/sigchld_handler.h"
#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"

namespace ryn {

namespace {

constexpr size_t k_args_label_len = sizeof("instrumentation args: ") - 1;

// The engine's version line, asked for at most once per process whatever
// engine path later calls pass.
std::optional<std::string> engine_version;

// Text a filter treats as text in every locale: no NUL, no byte above 0x7f.
bool plain_text(const std::string& text) {
    for (const char c : text) {
        if (c == '\0' || static_cast<unsigned char>(c) > 0x7f) {
            return false;
        }
    }
    return true;
}

// The first line without "usage", cut where a 1024-byte line buffer cuts it.
std::optional<std::string> version_line(const std::string& output) {
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        const std::string line = output.substr(start, end - start);
        if (line.find("usage") == std::string::npos) {
            return line.substr(0, 1023);
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::string query_engine_version(ExecUtil* util, const char* morphel_path, const char* mode) {
    ryn::ProbeCommand probe;
    probe.args = {morphel_path, mode, "-V"};
    probe.unset_env = {"LD_AUDIT"};
    probe.merge_stderr = true;
    probe.shell_text =
        "unset LD_AUDIT; " + shell_quote(morphel_path) + " " + mode + " -V 2>&1 | grep -v usage";
    // A SIGCHLD handler may reap the command before it is waited for; the
    // wait then fails for a command that ran fine.
    const bool handler_reaps = ryn::sigchld_has_handler();
    for (int attempt = 0;; ++attempt) {
        ryn::CommandOutput stream(probe);
        if (!stream) {
            util->fatal(0, get_msg(RYN_CANNOT_EXECUTE), morphel_path);
        }
        std::string output;
        char block[4096];
        size_t n;
        while ((n = fread(block, 1, sizeof block, stream.get())) > 0) {
            output.append(block, n);
        }
        const int status = stream.close();
        if (attempt == 0 && !plain_text(output)) {
            // Only the filter itself knows what it makes of such output: an
            // unusable program path hands the command to the shell.
            probe.args = {"/"};
            continue;
        }
        const std::optional<std::string> line = version_line(output);
        if (!line) {
            util->fatal(0, get_msg(RYN_CANNOT_EXECUTE), morphel_path);
        }
        if (status == -1 && !handler_reaps) {
            util->fatal(errno, get_msg(GENERAL_ERROR), driver_text(DriverText::NO_ENGINE_VERSION));
        }
        return *line;
    }
}

// The version line of the engine file as it is now: remembered in the cache
// while that file stays unchanged, asked of the engine otherwise.
std::string engine_version_now(ExecUtil* util, const char* morphel_path, const RynCache& cache) {
    const char* mode = strcmp(cache.kind, "count") == 0 ? "-ryn" : "-ped";
    ryn::RememberedAnswer memory(cache.base + "-engine-version.answer", mode, {morphel_path});
    if (std::optional<std::string> line = memory.recall()) {
        return *line;
    }
    std::string line = query_engine_version(util, morphel_path, mode);
    // A dry run leaves the cache as it found it.
    if (!util->dry_run) {
        memory.remember(line);
    }
    return line;
}

}  // namespace

bool Target::compare_morphel_version(const char* cached_version, const char* morphel_path,
                                     bool verbose) {
    if (!engine_version) {
        engine_version = engine_version_now(util, morphel_path, *cache);
    }
    if (*engine_version == cached_version) {
        return true;
    }
    if (verbose) {
        util->report_error(MSG_INFO, 0, driver_text(DriverText::ENGINE_VERSION_CHANGED),
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

}  // namespace ryn
