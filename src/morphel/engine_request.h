// What one engine run was asked to do, read from its command line.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace morphel {

struct EngineRequest {
    std::string mode_label = "ryn";             // "ryn" or "memvex", from the mode switch
    bool version_query = false;                 // -V anywhere
    bool verbose = false;                       // -v
    std::string input;                          // the file read
    std::optional<std::string> output;          // -o
    std::optional<std::string> comment;         // -comment=
    std::optional<std::string> use_location;    // -xkalfix=use:
    std::optional<std::string> report_file;     // -out=
    std::optional<std::string> analytics_file;  // -zentor_analytics_file=
    std::vector<std::string> analyses;          // -bbc..., -function..., -bcc, ...
    std::optional<std::string> ryninfo;         // -ryninfo=
    std::optional<std::string> data_dir;        // -xkalfix=instrument:DIR, exactly as given
    std::optional<std::string> auditor;         // -add_depaudit=
    std::vector<std::string> prepended;         // -prepend_dt_needed=, in the order given
    std::optional<std::string> origin_dir;      // -replace_origin=
    bool full_check = false;                    // -memvex_full_lib_instr
    bool race_detection = false;                // -race_detection
    std::optional<std::string> check_file;      // -checkfile=
    // Options that name a file, with the path each names.
    std::vector<std::pair<std::string, std::string>> named_paths;

    std::string version_line() const { return mode_label + ": morphel 1.0"; }
    bool checker_mode() const { return mode_label == "memvex"; }
};

// Reads the command line (argv[0] excluded). Throws EngineError when it is
// malformed. A version query is answered before anything else is checked.
EngineRequest parse_engine_request(const std::vector<std::string>& args);

}  // namespace morphel
