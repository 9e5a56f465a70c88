#include "experiment_data.h"

#include <sys/stat.h>

#include "coverage/coverage_error.h"
#include "coverage/data_loader.h"

namespace er_ryn {

std::vector<coverage::InstrData> load_experiment_data(const ExperimentCommand& command,
                                                      std::ostream& err) {
    std::vector<coverage::InstrData> objects;
    for (const TargetBlock& target : command.targets) {
        if (!target.use_location) {
            err << "er_ryn: " << target.file
                << " left out of the report: no instrumentation data location given\n";
            continue;
        }
        try {
            objects.push_back(coverage::load_target_data(target.file, *target.use_location));
        } catch (const coverage::CoverageError& error) {
            err << "er_ryn: " << target.file << " left out of the report: " << error.what() << "\n";
        }
    }
    return objects;
}

coverage::FunctionFilter experiment_filter(const ExperimentCommand& command) {
    coverage::FunctionFilter filter;
    for (const std::string& path : command.function_lists) {
        filter.exclude_names_in(path);
    }
    for (const std::string& path : command.function_prefix_lists) {
        filter.exclude_prefixes_in(path);
    }
    for (const std::string& value : command.ignored_functions) {
        struct stat st;
        if (stat(value.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            filter.exclude_names_in(value);
        } else {
            for (std::string& name : coverage::split_function_list(value)) {
                filter.exclude_name(std::move(name));
            }
        }
    }
    return filter;
}

}  // namespace er_ryn
