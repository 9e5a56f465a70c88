// Where the driver runs from, and the install directories derived from it.
#include <unistd.h>

#include <climits>
#include <string>

#include "driver/ryn_driver/phases.h"
#include "ryn/exec_util.h"

namespace ryn {

bool set_exec_names(char** argv, const RynOptions& opts, InstallLocations& loc, ExecUtil& util) {
    if (argv == nullptr || argv[0] == nullptr) {
        return false;
    }
    std::string executable;
    if (opts.tell_mode) {
        executable = argv[0];
    } else {
        char buffer[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (length <= 0) {
            return false;
        }
        executable.assign(buffer, static_cast<std::size_t>(length));
    }
    loc.program_name = argv[0];

    const std::string full = util.make_full_path(executable.c_str());
    const std::size_t slash = full.rfind('/');
    loc.exec_dir = slash == std::string::npos ? std::string(".")
                   : slash == 0               ? std::string("/")
                                              : full.substr(0, slash);
    if (loc.exec_dir->size() > 3) {
        loc.install_lib_dir = *loc.exec_dir;
        if (loc.install_lib_dir->ends_with("bin")) {
            loc.install_lib_dir->replace(loc.install_lib_dir->size() - 3, 3, "lib/compilers");
        }
    }
    return true;
}

void set_locations(const RynOptions& opts, InstallLocations& loc, ExecUtil& util) {
    loc.morphel_path = loc.morphel_dir.value_or(loc.install_lib_dir.value_or("")) + "/morphel";

    const auto runtime_dir = [&] {
        std::string dir = loc.install_lib_dir.value_or("");
        if (opts.target_path && util.is_64_bit_binary(opts.target_path->c_str())) {
            dir += "/amd64";
        }
        return util.make_full_path(dir.c_str());
    };
    if (opts.memvex_front_end() && !opts.tell_mode && !loc.memvex_lib_dir) {
        loc.memvex_lib_dir = runtime_dir();
    }
    if (!loc.audit_lib_dir) {
        loc.audit_lib_dir = runtime_dir();
    }
}

}  // namespace ryn
