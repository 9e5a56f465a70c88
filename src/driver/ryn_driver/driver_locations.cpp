// Where the driver runs from, and the install directories derived from it.
#include <unistd.h>

#include <climits>
#include <string>

#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

bool RynDriver::set_exec_names(char** argv) {
    if (argv == nullptr || argv[0] == nullptr) {
        return false;
    }
    std::string executable;
    if (tell_mode) {
        executable = argv[0];
    } else {
        char buffer[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (length <= 0) {
            return false;
        }
        executable.assign(buffer, static_cast<std::size_t>(length));
    }
    program_name = argv[0];

    const std::string full = util->make_full_path(executable.c_str());
    const std::size_t slash = full.rfind('/');
    exec_dir = slash == std::string::npos ? std::string(".")
               : slash == 0                ? std::string("/")
                                           : full.substr(0, slash);
    if (exec_dir->size() > 3) {
        install_lib_dir = *exec_dir;
        if (install_lib_dir->ends_with("bin")) {
            install_lib_dir->replace(install_lib_dir->size() - 3, 3, "lib/compilers");
        }
    }
    return true;
}

void RynDriver::set_locations() {
    morphel_path = morphel_dir.value_or(install_lib_dir.value_or("")) + "/morphel";

    const auto runtime_dir = [&] {
        std::string dir = install_lib_dir.value_or("");
        if (target_path && util->is_64_bit_binary(target_path->c_str())) {
            dir += "/amd64";
        }
        return util->make_full_path(dir.c_str());
    };
    if (memvex_front_end && !tell_mode && !memvex_lib_dir) {
        memvex_lib_dir = runtime_dir();
    }
    if (!audit_lib_dir) {
        audit_lib_dir = runtime_dir();
    }
}
