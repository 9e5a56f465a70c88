// Where the experiment tool er_ryn is found: below the install root of the
// driver's own tree, of a "-Ye," directory, or of the default install tree.
#include <sys/stat.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "driver/ryn_driver/phases.h"

namespace ryn {

namespace {

constexpr const char* k_default_install_root = "/opt/QVENpkg";

// A directory's install root: the path cut before its last "/lib/compilers",
// or, lacking that, the directory above a final "/bin". Other directories
// have none, and the tool is not looked for there.
std::optional<std::string> install_root(std::string dir) {
    while (dir.size() > 1 && dir.ends_with('/')) {
        dir.pop_back();
    }
    if (const std::size_t pos = dir.rfind("/lib/compilers"); pos != std::string::npos) {
        return dir.substr(0, pos);
    }
    if (dir.ends_with("/bin")) {
        return dir.substr(0, dir.size() - 4);
    }
    return std::nullopt;
}

// The places of the tool below an install root, in the order they are tried.
std::array<std::string, 2> candidates(const std::string& root) {
    return {root + "/lib/analyzer/er_ryn", root + "/bin/er_ryn"};
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::optional<std::string> find_below(const std::optional<std::string>& root) {
    if (!root) {
        return std::nullopt;
    }
    for (const std::string& path : candidates(*root)) {
        if (exists(path)) {
            return path;
        }
    }
    return std::nullopt;
}

}  // namespace

bool set_er_ryn_program(const char* dir, InstallLocations& loc) {
    if (dir == nullptr) {
        if (loc.er_ryn_path) {
            return loc.er_ryn_status > 1;
        }
        if (loc.exec_dir) {
            if (auto path = find_below(install_root(*loc.exec_dir))) {
                loc.er_ryn_status = 2;
                loc.er_ryn_path = std::move(path);
                return true;
            }
        }
        if (auto path = find_below(std::string(k_default_install_root))) {
            loc.er_ryn_status = 2;
            loc.er_ryn_elsewhere = true;
            loc.er_ryn_path = std::move(path);
            return true;
        }
        return false;
    }

    // The "-Ye," choice stands even when the tool is missing there: the path
    // stays set, so the automatic search later looks nowhere else. A later
    // "-Ye," replaces an earlier one, its answer included.
    loc.er_ryn_status = 0;
    const std::optional<std::string> root = install_root(dir);
    if (!root) {
        loc.er_ryn_path = std::string();
        return false;
    }
    for (const std::string& path : candidates(*root)) {
        loc.er_ryn_path = path;
        if (exists(path)) {
            loc.er_ryn_status = 2;
            break;
        }
    }
    return loc.er_ryn_status > 1;
}

bool check_er_ryn_program(const char* dir, char* path, int size, InstallLocations& loc) {
    if (size <= 0) {
        return false;
    }
    path[0] = '\0';
    const std::optional<std::string> root = install_root(dir ? dir : "");
    if (!root) {
        return false;
    }
    for (const std::string& candidate : candidates(*root)) {
        snprintf(path, static_cast<std::size_t>(size), "%s", candidate.c_str());
        if (exists(candidate)) {
            loc.er_ryn_status = 2;
            return true;
        }
    }
    return false;
}

void parse_version_string(char* text, std::optional<std::string>& major,
                          std::optional<std::string>& minor) {
    constexpr const char* blanks = " \t\n";
    const auto starts_with_digit = [](const char* s) {
        return s != nullptr && isdigit(static_cast<unsigned char>(s[0]));
    };
    char* rest = nullptr;
    char* piece = strtok_r(text, blanks, &rest);
    while (piece != nullptr && !starts_with_digit(piece)) {
        piece = strtok_r(nullptr, blanks, &rest);
    }
    if (piece == nullptr) {
        return;
    }
    char* after_dot = nullptr;
    const char* before_dot = strtok_r(piece, ".", &after_dot);
    if (!starts_with_digit(before_dot)) {
        return;
    }
    major = before_dot;
    const char* minor_text = strtok_r(nullptr, blanks, &after_dot);
    if (!starts_with_digit(minor_text)) {
        return;
    }
    minor = minor_text;
}

}  // namespace ryn
