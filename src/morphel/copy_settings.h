// The settings a probed or checker copy carries for the runtime.
#pragma once

#include <optional>
#include <string>

namespace morphel {

// "original", "datadir" and, when a run-information file is given, one
// "ryninfo" line per record in file order.
std::string copy_settings(const std::string& original, const std::string& data_dir,
                          const std::optional<std::string>& ryninfo);

// What the checker runtime is told about one copy.
struct CheckerChoice {
    bool full = false;  // every access checked, not writes only
    std::optional<std::string> check_file;
    bool race = false;
};

// "original", the "ryninfo" lines of a main program's run-information file
// (none for a library), then "checker full|write-only", "checkfile" when one
// was named and "race 1" in data-race mode.
std::string checker_settings(const std::string& original, const std::optional<std::string>& ryninfo,
                             const CheckerChoice& choice);

// The input path made absolute against the working directory.
std::string absolute_path(const std::string& path);

// The audit library of the install tree this engine belongs to, if it is
// there.
std::optional<std::string> own_auditor();

}  // namespace morphel
