#include "optimized_copy.h"

#include <filesystem>
#include <iostream>
#include <optional>

#include "coverage/coverage_error.h"
#include "coverage/data_loader.h"
#include "coverage/hot_functions.h"
#include "dynamic_edits.h"
#include "file_appendix.h"
#include "function_order_files.h"
#include "pending_output.h"
#include "text_file_write.h"

namespace morphel {
namespace {

// The share of the executed instructions the printed summary names: the
// fewest functions reaching it are the ones worth keeping together.
constexpr unsigned k_hot_percent = 90;

// The counts recorded for the input, or nothing when there are none to use:
// no data, data of another build, or data that never ran a block. The reason
// goes to standard error unless the data is simply missing.
std::optional<coverage::InstrData> recorded_counts(const EngineRequest& request) {
    const std::string& location = *request.use_location;
    if (coverage::data_files_at(location).empty()) {
        return std::nullopt;
    }
    try {
        return coverage::load_target_data(request.input, location);
    } catch (const coverage::CoverageError& error) {
        std::cerr << "morphel: warning: " << error.what() << std::endl;
        return std::nullopt;
    }
}

void write_summary(std::ostream& out, const coverage::HotFunctions& hot, bool exact,
                   const std::string& symbol_order) {
    const size_t hot_count = coverage::functions_reaching(hot, k_hot_percent);
    out << coverage::share_of_first(hot, hot_count) << "% of the executed instructions lie in "
        << hot_count << " of " << hot.functions << (hot.functions == 1 ? " function" : " functions")
        << " (the first " << hot_count << " of " << symbol_order << ")\n";
    if (!exact) {
        out << "the counts are runs that reached each block, not executions: the order is "
               "approximate\n";
    }
}

}  // namespace

OptimizedPaths optimized_paths(const std::string& input, const std::string& output,
                               bool is_main_program) {
    std::string copy = output;
    if (!is_main_program) {
        const std::filesystem::path dir = std::filesystem::path(output).parent_path();
        const std::string name = std::filesystem::path(input).filename().string() + ".opt";
        copy = dir.empty() ? name : (dir / name).string();
    }
    return {copy, copy + ".section-order", copy + ".symbol-order"};
}

void write_optimized_copy(const EngineRequest& request, std::ostream& out) {
    const bool main_program = read_dynamic_info(request.input).is_main_program;
    const OptimizedPaths paths = optimized_paths(request.input, *request.output, main_program);

    PendingOutput output(request.input, paths.copy);
    Appendix appendix;
    appendix.comment_records = {request.version_line(), "kalfix: optimized from " + request.input};
    write_appendix(output.fd(), request.input, appendix);
    output.commit();
    if (!main_program) {
        out << "optimized copy of " << request.input << ": " << paths.copy << "\n";
    }

    const std::optional<coverage::InstrData> data = recorded_counts(request);
    const coverage::HotFunctions hot =
        data ? coverage::hot_functions(*data) : coverage::HotFunctions{};
    if (hot.order.empty()) {
        // Lists from an earlier run would describe another run's work.
        remove_order_file(paths.section_order);
        remove_order_file(paths.symbol_order);
        out << "no execution counts for " << request.input
            << ": the function order is left as it is\n";
        return;
    }
    write_text_file(paths.section_order, section_order_text(hot));
    write_text_file(paths.symbol_order, symbol_order_text(hot));
    write_summary(out, hot, data->counts_exact, paths.symbol_order);
}

}  // namespace morphel
