// Copying, removing and linking through the system's own commands, making
// directories with their parents, and making paths absolute.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>

#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/kept_originals.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

// Every component that does not exist yet is made with mode 0755 (less the
// umask); failures show in the check that follows.
void mkdirp(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

// The commands run without a shell, wait for their end and end the run when
// they fail: the same path as any other command without redirection.
void run_system_command(ExecUtil& util, std::initializer_list<const char*> words) {
    ArgCache command;
    for (const char* word : words) {
        command.add_arg(word);
    }
    util.run_command(&command);
}

}  // namespace

void ExecUtil::rm_command(const char* path) { run_system_command(*this, {"/bin/rm", "-rf", path}); }

void ExecUtil::ln_command(const char* from, const char* to) {
    run_system_command(*this, {"/bin/ln", "-s", from, to});
}

void ExecUtil::replace_user_file(const char* from, const char* to, bool keep_current,
                                 const std::function<bool()>& already_there) {
    // Echoed as the copy it stands for, so traces read as before.
    ArgCache echo;
    for (const char* word : {"/bin/cp", "-p", "-r", from, to}) {
        echo.add_arg(word);
    }
    if (dry_run) {
        if (verbose) {
            echo.print(stderr, true);
        }
        return;
    }
    if (very_verbose) {
        echo.print(stderr, true);
    }
    if (already_there && already_there()) {
        return;
    }
    if (keep_current) {
        if (const int error = ryn::keep_original(to, false)) {
            fatal(error, driver_text(DriverText::CANNOT_KEEP_ORIGINAL), to);
        }
    }
    if (const int error = ryn::replace_file(from, to, true)) {
        fatal(error, driver_text(DriverText::CANNOT_REPLACE), to, from);
    }
}

void ExecUtil::create_directory(const char* path) {
    mkdirp(path);
    struct stat info {};
    if (stat(path, &info) != 0) {
        fatal(0, get_msg(CALL_FAILED_STRING_PARAM), "mkdirp()", path);
    }
}

std::string ExecUtil::make_full_path(const char* path) {
    char resolved[PATH_MAX];
    if (!realpath(path, resolved)) {
        fatal(errno, driver_text(DriverText::CANNOT_RESOLVE_PATH), path);
    }
    return resolved;
}

}  // namespace ryn
