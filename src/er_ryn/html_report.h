// The HTML report, made by genhtml from the tracefile when it is installed.
#pragma once

#include <string>

namespace er_ryn {

enum class HtmlResult { not_installed, written, failed };

// Runs genhtml (found along PATH) on `tracefile` into `html_dir`; its output
// goes to `log_file`.
HtmlResult write_html_report(const std::string& tracefile, const std::string& html_dir,
                             const std::string& log_file);

}  // namespace er_ryn
