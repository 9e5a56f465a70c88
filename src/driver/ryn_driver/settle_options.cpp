// What the parsed options imply by themselves, settled once after parsing so
// that every later stage reads the options as they are.
#include "driver/ryn_cache/last_component.h"
#include "driver/ryn_driver/phases.h"

namespace ryn {

namespace {

// Coverage is analysis by the use phase, and the experiment tool's summary
// unless an analytics file was asked for.
void settle_coverage(RynOptions& opts, ToolArgs& tools) {
    tools.use_args.add_arg("-bcc");
    opts.analyze_mode = true;
    opts.analysis_type_given = true;
    if (!opts.analytics_file_given) {
        for (const char* arg : {"-er:ninstrcover", "-er:function", "-er:executed",
                                "-er:blockcover%", "-er:instrcover%"}) {
            tools.er_args.add_arg(arg);
        }
        opts.experiment_mode = true;
    }
}

// A run that names its output with -o, or makes none of its own (analysis,
// optimisation, tell mode), leaves the copy's name alone.
bool names_output_elsewhere(const RynOptions& opts) {
    return !opts.collect_mode && (!(opts.memvex_front_end() || opts.instrument_mode) ||
                                  opts.tell_mode || opts.output_file_given);
}

// Where the copy, the optimised program and the checker's report go when no
// option said.
void settle_output_names(RynOptions& opts) {
    if (!opts.target_path) {
        return;
    }
    if (names_output_elsewhere(opts)) {
        if (opts.optimize_mode && !opts.optimize_output) {
            opts.optimize_output = opts.replace_in_place
                                       ? *opts.target_path
                                       : "./" + ryn::last_component(*opts.target_path) + ".opt";
        }
    } else if (output_replaces_target(opts)) {
        opts.output_file = *opts.target_path;
    } else {
        opts.output_file = *opts.target_path + ".instr";
    }
    if (opts.memvex_front_end() && !opts.memvex.text_report && !opts.memvex.html_report &&
        !opts.memvex.analyzer_dir && opts.output_file) {
        opts.memvex.html_report = ryn::last_component(*opts.output_file) + ".html";
    }
}

}  // namespace

void settle_options(RynOptions& opts, ToolArgs& tools) {
    if (!opts.r_option) {
        opts.r_option = !opts.instrument_mode && !opts.collect_mode && !opts.memvex_front_end();
    }
    // One -z means once; more count one less.
    if (opts.z_count == 2) {
        opts.z_count = 0;
    } else if (opts.z_count > 2) {
        --opts.z_count;
    }
    if (opts.coverage_mode) {
        settle_coverage(opts, tools);
    }
    settle_output_names(opts);
}

bool output_replaces_target(const RynOptions& opts) {
    return !names_output_elsewhere(opts) && (opts.memvex_front_end() || opts.replace_in_place);
}

bool following_dependencies(const RynOptions& opts, const RunState& state) {
    return opts.follow_dependencies && !state.lite_mode;
}

bool experiment_runs(const RynOptions& opts, const InstallLocations& loc) {
    return opts.experiment_mode && loc.er_ryn_status >= 2;
}

}  // namespace ryn
