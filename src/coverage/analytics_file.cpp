#include "coverage/analytics_file.h"

namespace coverage {
namespace {

void write_row(std::ostream& out, const char* kind, const std::string& name,
               const std::string& object, const Measures& m) {
    out << kind << '\t' << name << '\t' << object << '\t' << m.functions_executed << '\t'
        << m.functions << '\t' << m.blocks_executed << '\t' << m.blocks << '\t' << m.insns_executed
        << '\t' << m.insns << '\t' << m.lines_executed << '\t' << m.lines << '\n';
}

}  // namespace

void write_analytics(std::ostream& out, const CoverageSummary& summary) {
    out << "ryn-analytics 1\n"
           "kind\tname\tobject\tfunctions_run\tfunctions\tblocks_run\tblocks\t"
           "instructions_run\tinstructions\tlines_run\tlines\n";
    write_row(out, "total", "-", "-", summary.total);
    for (const FileCoverage& file : summary.files) {
        write_row(out, "file", file.path, "-", file.measures);
    }
    for (const FunctionCoverage& f : summary.functions) {
        write_row(out, "function", f.name, f.object, f.measures);
    }
}

}  // namespace coverage
