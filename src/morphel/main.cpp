// The rewriting engine. For coverage it writes a copy that loads the
// runtime by itself and carries a probe table (one probe per basic block);
// for the checkers a clean copy whose table holds only the settings; for
// optimisation a clean copy and the order of its hot functions; every
// copy ends its .comment with the version and argument records that
// the driver reads back.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "code_reader.h"
#include "copy_settings.h"
#include "dynamic_edits.h"
#include "engine_error.h"
#include "engine_request.h"
#include "file_appendix.h"
#include "import_slots.h"
#include "input_checks.h"
#include "moved_symbols.h"
#include "optimized_copy.h"
#include "pending_output.h"
#include "probe_table.h"
#include "use_report.h"

#include "coverage/file_digest.h"

namespace morphel {
namespace {

constexpr int k_exit_failure = 2;

void write_instrumented_copy(const EngineRequest& request) {
    PendingOutput output(request.input, *request.output);
    // Coverage probes go into copies that record data somewhere.
    const bool probed = request.data_dir && request.mode_label == "ryn";
    const DynamicInfo info = read_dynamic_info(request.input);

    // The loader honours an auditor named by the main program only; a
    // library keeps its layout instead.
    DynamicEdits edits{info.is_main_program ? request.auditor : std::nullopt, request.prepended,
                       request.origin_dir};
    // The run of an instrumented program sets no environment, so a probed
    // program brings its runtime along when the driver named none.
    if (probed && !edits.auditor && info.is_main_program && info.has_dynamic) {
        edits.auditor = own_auditor();
    }
    if (apply_dynamic_edits(output.path(), info, edits)) {
        follow_moved_sections(request.input, output.path());
    }
    output.reopen();

    Appendix appendix;
    appendix.comment_records = {request.version_line()};
    if (request.comment) {
        appendix.comment_records.push_back(*request.comment);
    }
    const std::optional<std::string> records =
        info.is_main_program ? request.ryninfo : std::nullopt;
    std::optional<CodeReader> reader;
    ProbeSet probes;
    if (probed) {
        reader.emplace(output.path());
        probes = plan_probes(reader->facts(), read_import_slots(request.input));
        appendix.counter_bytes = probes.counting.counter_count * sizeof(uint64_t);
        const std::string settings =
            copy_settings(absolute_path(request.input), *request.data_dir, records);
        const std::string digest = coverage::file_digest(request.input);
        appendix.build_probe_table = [&probes, &reader, settings, digest](uint64_t addr,
                                                                          uint64_t counters_addr) {
            return build_probe_segment(probes, settings, digest, reader->facts(), addr,
                                       counters_addr);
        };
    } else if (request.checker_mode()) {
        // A checker copy runs its code untouched (the runtime interposes the
        // allocator); the table without probes only carries the settings.
        const CheckerChoice choice{request.full_check, request.check_file, request.race_detection};
        appendix.probe_table = build_probe_table(
            ProbeSet{}, checker_settings(absolute_path(request.input), records, choice),
            coverage::file_digest(request.input));
    }
    write_appendix(output.fd(), request.input, appendix);
    output.commit();
    if (probed && request.verbose) {
        const CountingPlan& plan = probes.counting;
        std::cerr << "morphel: " << request.input << ": " << plan.jump_blocks
                  << " blocks counted by jumps, " << plan.trap_blocks << " by traps, "
                  << plan.sum_blocks << " as sums of edges, " << plan.uncounted_blocks
                  << " not counted; " << plan.indirects.size()
                  << " indirect calls and jumps record their targets, " << plan.unrecorded_indirects
                  << " do not" << std::endl;
    }
}

void run(const EngineRequest& request) {
    check_elf_input(request.input);
    check_named_files(request);
    if (request.use_location) {
        if (request.output) {
            write_optimized_copy(request, std::cout);
            std::cout.flush();
        } else {
            emit_use_report(request);
        }
        return;
    }
    if (!request.output) {
        // Outside the use mode the result is a copy, which needs a place to go.
        // An analysis without recorded data (the driver then passes neither
        // option) has nothing to analyse either.
        throw EngineError(
            "neither an output file (-o OUTPUT) nor recorded data to analyse "
            "(-xkalfix=use:LOCATION) given");
    }
    write_instrumented_copy(request);
}

}  // namespace
}  // namespace morphel

int main(int argc, char** argv) {
    try {
        const morphel::EngineRequest request =
            morphel::parse_engine_request(std::vector<std::string>(argv + 1, argv + argc));
        if (request.version_query) {
            std::cout << request.version_line() << std::endl;
            return 0;
        }
        morphel::run(request);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "morphel: error: " << error.what() << std::endl;
        return morphel::k_exit_failure;
    }
}
