// The experiment tool: it checks the command line the driver builds, records
// it in the experiment directory, and reports the coverage of every target
// from the instrumentation data the run recorded.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "coverage/analytics_file.h"
#include "coverage/coverage_summary.h"
#include "experiment_command.h"
#include "experiment_data.h"
#include "experiment_record.h"
#include "experiment_reports.h"

namespace er_ryn {
namespace {

constexpr int k_exit_no_data = 1;

bool any_location_given(const ExperimentCommand& command) {
    for (const TargetBlock& target : command.targets) {
        if (target.use_location) {
            return true;
        }
    }
    return false;
}

void write_analytics_file(const std::string& path, const coverage::CoverageSummary& summary) {
    std::ofstream out(path, std::ios::trunc);
    coverage::write_analytics(out, summary);
    out.close();
    if (!out) {
        throw ToolError("cannot write the analytics file " + path);
    }
}

int run(const std::vector<std::string>& args) {
    const ExperimentCommand command = parse_experiment_command(args);
    const coverage::FunctionFilter filter = experiment_filter(command);
    std::string directory;
    if (!command.analytics_file) {
        directory = create_experiment_directory(command.experiment_name);
        write_command_file(directory, args);
    }
    const std::vector<coverage::InstrData> objects = load_experiment_data(command, std::cerr);
    if (objects.empty()) {
        // Data was named and none of it can be used: no report is better
        // than a wrong one, and the run should not look successful.
        if (any_location_given(command)) {
            std::cerr << "er_ryn: no usable instrumentation data; no coverage report written\n";
            return k_exit_no_data;
        }
        return 0;
    }
    const coverage::CoverageSummary summary = coverage::summarize(objects, filter);
    if (command.analytics_file) {
        write_analytics_file(*command.analytics_file, summary);
        return 0;
    }
    write_experiment_reports(directory, summary, coverage::layout_for_requests(command.requests),
                             std::cout, std::cerr);
    return 0;
}

}  // namespace
}  // namespace er_ryn

int main(int argc, char** argv) {
    constexpr int k_exit_failure = 2;
    try {
        return er_ryn::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::cerr << "er_ryn: error: " << error.what() << std::endl;
        return k_exit_failure;
    }
}
