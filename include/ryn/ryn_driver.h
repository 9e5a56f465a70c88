// The driver object: the whole run happens inside its constructor.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ryn/arg_cache.h"
#include "ryn/ryn_entry.h"

class RynCache;
class RynExecUtil;
class Target;
class rcData;

// What the main target is, from -S, -U or a look at the file.
enum class TargetKind : int { executable = 0, shared_object = 1, unknown = 2 };

// Rows of the general front end's "-a" help list, each ending in "\n".
extern const char* const ryn_help_text[12];

class RynDriver {
public:
    // Performs the whole run.
    RynDriver(const char* front_end_name, int argc, char** argv, int lav_version);
    // Only initialises the fields, the utility object and the front end
    // (steps 1 to 5 of the run); tests then drive single stages.
    struct PrepareOnly {};
    RynDriver(const char* front_end_name, int lav_version, PrepareOnly);
    ~RynDriver();
    RynDriver(const RynDriver&) = delete;
    RynDriver& operator=(const RynDriver&) = delete;

    // Run sequence (steps 6 to 19).
    void run(int argc, char** argv);
    // False when the run ends here (tell mode answering with the program itself).
    bool target_check_pass();
    void run_collect_program();
    void add_runtime_libraries();
    void run_optimize_loop();
    void redirect_output();
    // Puts back the streams that redirect_output replaced.
    void restore_output();

    // Entry, locations and usage.
    bool set_exec_names(char** argv);
    void set_locations();
    const char* error_not_optimizable() const;
    void usage() const;
    // Prints the short usage and exits with `status`.
    [[noreturn]] void usage_exit(int status) const;

    // General front end's command line.
    void process_options(int argc, char** argv);
    bool process_ryn_driver_arg(char**& cursor);
    bool process_target_arg(char**& cursor);
    bool process_simapp_arg(char**& cursor);
    bool process_er_ryn_dbg_arg(char**& cursor);
    bool process_optimize_input_arg(char**& cursor);
    bool process_bat_input_arg(char**& cursor);
    bool process_instrument_input_arg(char**& cursor);
    bool process_coverage_input_arg(char**& cursor);
    void process_minus_c_flag(const char* value);

    // Memory checker's command line.
    void process_memvex_options(int argc, char** argv);

    // Probes.
    bool set_er_ryn_program(const char* dir);
    bool check_er_ryn_program(const char* dir, char* path, int size);
    static void parse_version_string(char* text, std::optional<std::string>& major,
                                     std::optional<std::string>& minor);
    int probe_lav_version();

    // Set-up and the run-information file.
    void distribute_options();
    // Registers a further library target; anything but a shared object ends
    // the run.
    Target* add_library_target(const char* path, bool restore_first, bool replaceable);
    std::string create_ryninfo_file();

    // Instrumentation data and log locations.
    std::string instrdata_dirname(Target* t) const;
    const char* instrument_logfile(Target* t);
    bool check_instrdata(const char* path) const;
    static std::string construct_path_option(const char* prefix, const char* dir,
                                             const char* name);
    std::string auditlibpath() const;
    void unlink_instrdata(const char* path);
    void add_checkfile_arg(ArgCache* list, Target* t);
    // "-xkalfix=use:" followed by the data location of t.
    std::string use_option(Target* t) const;
    static constexpr const char use_option_prefix[] = "-xkalfix=use:";

    // Phases.
    void run_instrument_command();
    void run_use_command(ArgCache* args);
    bool add_use_arg(ArgCache* list, Target* t);
    void run_experiment_command();

    // Argument lists.
    ArgCache er_args;
    ArgCache use_args;
    ArgCache output_files;
    ArgCache er_ryn_args;
    ArgCache engine_passthrough_args;
    ArgCache library_list;
    ArgCache memvex_check_list;
    ArgCache optimize_args;
    ArgCache instrument_record;
    ArgCache collect_args;
    ArgCache target_args;
    ArgCache collect_run_args;
    ArgCache excluded_libraries;

    // Flags.
    bool er_ryn_elsewhere = false;
    bool morphel_dir_given = false;
    bool analysis_type_given = false;
    bool analyze_mode = false;
    bool plain_front_end = true;
    bool check_mode = false;
    bool collect_mode = false;
    bool coverage_mode = false;
    bool very_verbose = false;
    bool group_option = false;
    bool use_rc_library_lists = true;
    bool memvex_front_end = false;
    bool lite_mode = false;
    bool zentor_front_end = false;
    bool dry_run = false;
    bool not_optimizable_is_error = true;
    bool experiment_mode = false;
    bool k_option = false;
    bool lav_above_3 = false;
    bool instrument_mode = false;
    bool mark_last_fg = true;
    bool L_option = true;
    bool skip_bad_libraries = false;
    bool optimize_mode = false;
    bool r_option = false;
    bool replace_in_place = false;
    bool tell_mode = false;
    int saved_stdout = -1;
    int saved_stderr = -1;
    bool follow_dependencies = false;
    bool static_instrument = false;
    bool remove_instrumented = false;
    bool instrument_enabled = true;
    bool read_rc_files = true;
    bool verbose = false;

    // Strings; unset unless stated.
    std::optional<std::string> audit_lib_dir;
    std::optional<std::string> cache_dir;
    std::optional<std::string> er_ryn_path;
    std::optional<std::string> exec_dir;
    std::optional<std::string> program_name;
    std::string instrdata_base = "./";
    std::string instrdata_suffix = ".instrdata";
    std::optional<std::string> output_file;
    std::optional<std::string> env_instrdata_dir;
    std::optional<std::string> u_argument;
    std::optional<std::string> liblog_path;
    std::optional<std::string> memvex_lib_dir;
    std::optional<std::string> optimize_output;
    std::optional<std::string> morphel_dir;
    std::optional<std::string> morphel_path;
    std::optional<std::string> install_lib_dir;
    std::optional<std::string> redirect_file;
    std::optional<std::string> text_report;
    std::optional<std::string> html_report;
    std::optional<std::string> target_path;

    // Other fields.
    int z_count = 0;
    int lav_version;
    TargetKind target_is_shared = TargetKind::unknown;
    Target* main_target = nullptr; // owned by cache
    std::unique_ptr<RynCache> cache;
    std::unique_ptr<RynExecUtil> util;
    int er_ryn_status = 0;
    std::unique_ptr<rcData> rc;

    // Memory-checker block.
    bool main_uses_cxx_runtime = false;
    int memvex_S_value = -1;
    std::optional<std::string> memvex_b_value;
    std::optional<std::string> check_file_spec;
    int memvex_E_value = -1;
    int memvex_e_value = -1;
    bool memvex_m_flag = false;
    bool memvex_f_flag = false;
    bool memvex_c_flag = false;
    bool memvex_u_flag = true;
    bool data_race_mode = false;
    std::optional<std::string> analyzer_dir;
    bool analyzer_option = false;
    bool analytics_file_given = false;
    int fork_mode = 2;
    bool check_all_libraries = false;
    bool no_main_full_instr = false;

private:
    void prepare(const char* front_end_name);
};
