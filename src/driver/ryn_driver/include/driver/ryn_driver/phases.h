// The stages of a run, in the order the driver calls them. Each receives the
// parts of the run state it uses; none sees the driver itself.
#pragma once

#include <optional>
#include <string>

#include "ryn/driver_parts.h"

namespace ryn {

class ArgCache;
class ExecUtil;
class Target;

// Locations of the driver itself and of the tools it runs.
bool set_exec_names(char** argv, const RynOptions& opts, InstallLocations& loc, ExecUtil& util);
void set_locations(const RynOptions& opts, InstallLocations& loc, ExecUtil& util);
// Prints the short usage.
void usage(const InstallLocations& loc);
// Prints the short usage and ends the run with `status`.
[[noreturn]] void usage_exit(const InstallLocations& loc, int status);

// The two front ends' command lines.
void process_options(int argc, char** argv, RynOptions& opts, ToolArgs& tools,
                     InstallLocations& loc, ExecUtil& util);
void process_memvex_options(int argc, char** argv, RynOptions& opts, ToolArgs& tools,
                            InstallLocations& loc, ExecUtil& util);
// Settles what the parsed options imply by themselves: modes, the -z count,
// default output and report names. Runs once, after either parser.
void settle_options(RynOptions& opts, ToolArgs& tools);
// The copy replaces the target itself rather than going to another name.
bool output_replaces_target(const RynOptions& opts);
// Whether the run follows the program's shared libraries.
bool following_dependencies(const RynOptions& opts, const RunState& state);
// Whether the experiment tool runs: asked for, and found.
bool experiment_runs(const RynOptions& opts, const InstallLocations& loc);
// Adds the memory checker's "-c" value: a library, or a file listing them.
void process_minus_c_flag(const char* value, ArgCache& check_list, ExecUtil& util);

// Probes of the experiment tool and the audit library.
bool set_er_ryn_program(const char* dir, InstallLocations& loc);
bool check_er_ryn_program(const char* dir, char* path, int size, InstallLocations& loc);
void parse_version_string(char* text, std::optional<std::string>& major,
                          std::optional<std::string>& minor);
int probe_lav_version(const RynOptions& opts, const InstallLocations& loc, RunState& state,
                      ExecUtil& util);

// Set-up: the settled options become the cache, the targets and the lists.
void distribute_options(const RynOptions& opts, ToolArgs& tools, InstallLocations& loc,
                        RunState& state, ExecUtil& util);
// Registers a further library target; anything but a shared object ends the run.
Target* add_library_target(const char* path, bool restore_first, bool replaceable,
                           const RynOptions& opts, RunState& state, ExecUtil& util);
std::string create_ryninfo_file(const RynOptions& opts, const ToolArgs& tools,
                                const InstallLocations& loc, RunState& state, ExecUtil& util);

// Output redirection (-O) and its undoing at the end of the run.
void redirect_output(const RynOptions& opts, RunState& state, ExecUtil& util);
void restore_output(RunState& state);

// False when the run ends here (tell mode answering with the program itself).
bool target_check_pass(const RynOptions& opts, RunState& state, ExecUtil& util);

// Instrumentation data and log locations.
std::string instrdata_dirname(const RynOptions& opts, const Target* t);
const char* instrument_logfile(const RynOptions& opts, RunState& state, const Target* t);
bool check_instrdata(const RynOptions& opts, const char* path);
std::string construct_path_option(const char* prefix, const char* dir, const char* name);
std::string auditlibpath(const InstallLocations& loc);
void unlink_instrdata(const RynOptions& opts, ExecUtil& util, const char* path);
void add_checkfile_arg(ArgCache* list, const Target* t);
// "-xkalfix=use:" followed by the data location of t.
std::string use_option(const RynOptions& opts, const RunState& state, const Target* t);
inline constexpr const char use_option_prefix[] = "-xkalfix=use:";
const char* error_not_optimizable(const RynOptions& opts);

// Phases.
void run_instrument_command(const RynOptions& opts, const ToolArgs& tools,
                            const InstallLocations& loc, RunState& state, ExecUtil& util);
void run_collect_program(const ToolArgs& tools, const RunState& state, ExecUtil& util);
void add_runtime_libraries(const RynOptions& opts, RunState& state, ExecUtil& util);
bool add_use_arg(ArgCache* list, const Target* t, const RynOptions& opts, const RunState& state);
void run_use_command(const ArgCache* args, const RynOptions& opts, const InstallLocations& loc,
                     RunState& state, ExecUtil& util);
void run_experiment_command(const RynOptions& opts, const ToolArgs& tools,
                            const InstallLocations& loc, RunState& state, ExecUtil& util);
void run_optimize_loop(const RynOptions& opts, const ToolArgs& tools, const InstallLocations& loc,
                       RunState& state, ExecUtil& util);

}  // namespace ryn
