#include "copy_settings.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "engine_error.h"

namespace morphel {
namespace {

// One "ryninfo" line per record, in file order.
std::string ryninfo_lines(const std::optional<std::string>& ryninfo) {
    std::string text;
    if (ryninfo) {
        std::ifstream in(*ryninfo, std::ios::binary);
        if (!in) {
            fail_with_errno("cannot read run-information file " + *ryninfo, errno);
        }
        for (std::string line; std::getline(in, line);) {
            text += "ryninfo " + line + "\n";
        }
    }
    return text;
}

}  // namespace

std::string copy_settings(const std::string& original, const std::string& data_dir,
                          const std::optional<std::string>& ryninfo) {
    return "original " + original + "\ndatadir " + data_dir + "\n" + ryninfo_lines(ryninfo);
}

std::string checker_settings(const std::string& original, const std::optional<std::string>& ryninfo,
                             const CheckerChoice& choice) {
    std::string text = "original " + original + "\n" + ryninfo_lines(ryninfo);
    text += choice.full ? "checker full\n" : "checker write-only\n";
    if (choice.check_file) {
        text += "checkfile " + *choice.check_file + "\n";
    }
    if (choice.race) {
        text += "race 1\n";
    }
    return text;
}

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

std::optional<std::string> own_auditor() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::nullopt;
    }
    const std::string auditor = (self.parent_path() / "amd64" / "ryndl.so").string();
    return access(auditor.c_str(), R_OK) == 0 ? std::optional<std::string>(auditor) : std::nullopt;
}

}  // namespace morphel
