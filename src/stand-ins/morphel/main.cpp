// Stand-in for the rewriting engine. It checks everything it is given, so
// that a wrong call from the driver fails loudly, and writes a copy of its
// input that carries the records a real engine leaves in .comment.
#include <iostream>
#include <string>
#include <vector>

#include "comment_records.h"
#include "engine_error.h"
#include "engine_request.h"
#include "input_checks.h"
#include "pending_output.h"
#include "use_report.h"

namespace morphel {
namespace {

constexpr int k_exit_failure = 2;

void write_copy(const EngineRequest& request, const std::vector<std::string>& records) {
    PendingOutput output(request.input, *request.output);
    append_comment_records(output.fd(), request.input, records);
    output.commit();
}

void run(const EngineRequest& request) {
    check_elf_input(request.input);
    check_named_files(request);
    if (request.use_location) {
        if (request.output) {
            write_copy(request, {request.version_line(), "kalfix: optimized from " + request.input});
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
    std::vector<std::string> records = {request.version_line()};
    if (request.comment) {
        records.push_back(*request.comment);
    }
    write_copy(request, records);
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
