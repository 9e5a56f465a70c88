// The settings a probed copy carries for the runtime.
#pragma once

#include <optional>
#include <string>

namespace morphel {

// "original", "datadir" and, when a run-information file is given, one
// "ryninfo" line per record in file order.
std::string copy_settings(const std::string& original, const std::string& data_dir,
                          const std::optional<std::string>& ryninfo);

// The input path made absolute against the working directory.
std::string absolute_path(const std::string& path);

// The audit library of the install tree this engine belongs to, if it is
// there.
std::optional<std::string> own_auditor();

}  // namespace morphel
