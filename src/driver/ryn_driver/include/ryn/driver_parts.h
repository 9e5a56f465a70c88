// The driver's run state in parts: what the command line asked for, where
// the installation lies, the argument lists handed to the tools, and the
// working state of the run. Each stage receives only the parts it uses.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ryn/arg_cache.h"

namespace ryn {

class RynCache;
class Target;
class rcData;

// The launcher's name for the driver selects the front end; "-zentor" turns
// the general one into the coverage front end.
enum class FrontEnd { general, memvex, zentor };

// What the main target is, from -S, -U or a look at the file.
enum class TargetKind : int { executable = 0, shared_object = 1, unknown = 2 };

// The memory checker's own options.
struct MemvexOptions {
    ArgCache memvex_check_list;                 // -c entries: "library[:check file]"
    bool L_option = true;                       // -L; record 6 of the run-information file
    bool lite_mode = false;                     // -l, or no annotations in the program
    std::optional<std::string> text_report;     // -w file
    std::optional<std::string> html_report;     // -H file; named after the output by default
    int memvex_S_value = -1;                    // -S; -1 when not given
    std::optional<std::string> memvex_b_value;  // -b
    int memvex_E_value = -1;                    // -E; -1 when not given
    int memvex_e_value = -1;                    // -e; -1 when not given
    bool memvex_m_flag = false;                 // -m
    bool memvex_f_flag = false;                 // -f
    bool memvex_c_flag = false;                 // -Wd,-c
    bool memvex_u_flag = true;                  // -Wd,-u
    bool data_race_mode = false;                // -i datarace
    std::optional<std::string> analyzer_dir;    // -Wd,-a=, or below the program with -a
    bool analyzer_option = false;               // -a
    int fork_mode = 2;                          // -F: 0 parent, 1 child, 2 both
    bool check_all_libraries = false;           // -c -
    bool no_main_full_instr = false;            // -n
};

// What the command line asked for. The two parsers fill it and settle what
// follows from it alone (implied modes, default output names); every stage
// after them reads it as const. What the run finds out (a program without
// annotations, a missing tool) goes into the run state instead.
struct RynOptions {
    FrontEnd front_end = FrontEnd::general;  // launcher name and -zentor

    // Modes.
    bool analyze_mode = false;          // "analyze", -a, -e, -E, or coverage
    bool check_mode = false;            // "check"
    bool collect_mode = false;          // "collect"
    bool coverage_mode = false;         // "coverage", or -c in collect mode
    bool experiment_mode = false;       // an experiment option, or coverage without -Wo,
    bool instrument_mode = false;       // "instrument"
    bool optimize_mode = false;         // "optimize"
    bool tell_mode = false;             // -t: report the instrumented path to the caller
    bool analysis_type_given = false;   // -a with a known analysis type
    bool analytics_file_given = false;  // -Wo,-zentor_analytics_file=...

    // Settings.
    bool verbose = false;                  // first -v
    bool very_verbose = false;             // second -v: echo commands, keep temporary files
    bool dry_run = false;                  // -n: print commands instead of running them
    bool group_option = false;             // -g in instrument mode
    bool use_rc_library_lists = true;      // configuration files' library lists; -t clears
    bool not_optimizable_is_error = true;  // selects error_not_optimizable's text
    bool k_option = false;                 // -k: instrument every target anew
    bool mark_last_fg = true;              // -X clears it
    bool skip_bad_libraries = false;       // skip an unusable library with a warning
    bool r_option = false;                 // -r: skip the previously-instrumented check
    bool replace_in_place = false;         // -R: copies replace the original files
    bool follow_dependencies = false;      // -M: instrument the shared libraries too
    bool static_instrument = false;        // -i static
    bool remove_instrumented = false;      // -u: remove the copies at clean-up
    bool instrument_enabled = true;        // -i on / off
    bool read_rc_files = true;             // -K clears it
    int z_count = 0;                       // -z count: 0, 1 once, then one less than given
    TargetKind target_is_shared = TargetKind::unknown;  // from -S, -U or a look at the file

    // Names and values.
    std::optional<std::string> cache_dir;          // -D
    std::string instrdata_base = "./";             // -I, always ending in '/'
    std::string instrdata_suffix = ".instrdata";   // -s
    std::optional<std::string> output_file;        // -o in instrument mode, or derived
    bool output_file_given = false;                // -o named the output file
    std::optional<std::string> env_instrdata_dir;  // QVEN_RYN_INSTRDATA_DIR, ending in '/'
    std::optional<std::string> u_argument;         // -U
    std::optional<std::string> optimize_output;    // -o in optimize mode, or derived
    std::optional<std::string> redirect_file;      // -O
    std::optional<std::string> target_path;        // the target as named, before any ':'
    std::optional<std::string> check_file_spec;    // what follows the target's first ':'
    std::optional<std::string> analytics_file;     // -Wo,-zentor_analytics_file=FILE

    // Lists.
    ArgCache output_files;        // reports named with -o, removed before the final phase
    ArgCache library_list;        // -l and the file given to -L
    ArgCache target_args;         // the target program's own arguments
    ArgCache excluded_libraries;  // -N

    MemvexOptions memvex;  // the memory checker's own part

    bool memvex_front_end() const { return front_end == FrontEnd::memvex; }
    bool zentor_front_end() const { return front_end == FrontEnd::zentor; }
    // Neither the memory checker nor the coverage front end.
    bool plain_front_end() const { return front_end == FrontEnd::general; }
};

// Where the driver and the tools it runs are installed.
struct InstallLocations {
    std::optional<std::string> program_name;     // argv[0]
    std::optional<std::string> exec_dir;         // absolute directory of the executable
    std::optional<std::string> install_lib_dir;  // exec_dir with "bin" made "lib/compilers"
    std::optional<std::string> morphel_dir;      // -Yo,
    bool morphel_dir_given = false;              // a -Yo, argument was given
    std::optional<std::string> morphel_path;     // the rewriting engine
    std::optional<std::string> audit_lib_dir;    // audit library's directory
    std::optional<std::string> memvex_lib_dir;   // checker runtime's directory
    std::optional<std::string> er_ryn_path;      // the experiment tool
    int er_ryn_status = 0;                       // 2 once the tool is found
    bool er_ryn_elsewhere = false;               // the tool is from another install tree
};

// The argument lists handed to the engine and the experiment tool.
struct ToolArgs {
    ArgCache er_args;                  // experiment records: "-er", "-er:..."
    ArgCache use_args;                 // use phase; starts with "-ryn"
    ArgCache er_ryn_args;              // extra experiment-tool arguments
    ArgCache engine_passthrough_args;  // -mt=..., -Wi, and -Wo, payloads
    ArgCache optimize_args;            // optimise phase; starts with "-ryn"
    ArgCache instrument_record;        // instrumentation options as typed
    ArgCache collect_args;             // collector arguments
    ArgCache collect_run_args;         // runs the instrumented program in collect mode
};

// The run's working state, built by the set-up and used by the phases.
struct RunState {
    int lav_version = 0;                     // link auditor version; 0 until known
    bool lav_above_3 = false;                // lav_version is 4 or more
    std::unique_ptr<RynCache> cache;         // the targets
    Target* main_target = nullptr;           // owned by cache
    std::unique_ptr<rcData> rc;              // configuration settings, when read
    bool main_uses_cxx_runtime = false;      // the program needs the compiler's runtime
    bool lite_mode = false;                  // the checker runs lite: -l, or no annotations
    std::optional<std::string> liblog_path;  // libraries an instrumented run loaded
    int saved_stdout = -1;                   // descriptor 1 before -O redirected it
    int saved_stderr = -1;                   // descriptor 2 before -O redirected it

    RunState();
    ~RunState();
    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;
};

}  // namespace ryn
