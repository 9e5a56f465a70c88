#include "experiment_record.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "experiment_command.h"

namespace er_ryn {
namespace {

[[noreturn]] void fail(const std::string& what, int err) {
    throw ToolError(what + ": " + std::strerror(err));
}

}  // namespace

std::string create_experiment_directory(const std::optional<std::string>& name) {
    if (name) {
        if (mkdir(name->c_str(), 0755) != 0 && errno != EEXIST) {
            fail("cannot create " + *name, errno);
        }
        return *name;
    }
    // mkdir decides which number is free, so two tools started together
    // never share a directory.
    for (int number = 1;; ++number) {
        const std::string candidate = "test." + std::to_string(number) + ".er";
        if (mkdir(candidate.c_str(), 0755) == 0) {
            return candidate;
        }
        if (errno != EEXIST) {
            fail("cannot create " + candidate, errno);
        }
    }
}

void write_command_file(const std::string& directory, const std::vector<std::string>& args) {
    const std::string path = directory + "/command";
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& arg : args) {
        out << arg << "\n";
    }
    out.close();
    if (!out) {
        fail("cannot write " + path, errno);
    }
}

}  // namespace er_ryn
