#include "support/memvex_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/engine_support.h"

namespace ryn_test {

bool build_checked(const std::string& source, const std::string& output, bool cxx,
                   const std::string& flags, const std::string& runtime) {
    const std::string source_path = output + (cxx ? ".cpp" : ".c");
    write_file(source_path, source);
    const std::string compiler = cxx ? "c++" : RYN_TEST_CC;
    const std::string command = compiler + " -g -O0 -pthread -o '" + output + "' '" + source_path +
                                "' -Wl,--no-as-needed '" + stage_lib("amd64/" + runtime) +
                                "' -Wl,--as-needed -Wl,-rpath,'" + stage_lib("amd64") + "' " +
                                flags;
    const RunResult result = run_shell(command);
    if (result.status != 0) {
        ADD_FAILURE() << "compiling " << output << " failed:\n" << command << "\n" << result.err;
        return false;
    }
    return true;
}

void embed_settings(const std::string& program, const std::string& copy,
                    const std::vector<std::string>& records) {
    ASSERT_TRUE(make_checker_copy(program, copy, records));
}

RunResult run_checked(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& records, const std::string& cwd) {
    static int copies = 0;
    std::vector<std::string> argv{program};
    if (!records.empty()) {
        argv[0] = program + ".copy" + std::to_string(copies++);
        embed_settings(program, argv[0], records);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {}, cwd);
}

int line_of(const std::string& source, const std::string& marker) {
    std::istringstream in(source);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number)
        if (line.find(marker) != std::string::npos)
            return number;
    ADD_FAILURE() << "no line holds " << marker;
    return 0;
}

std::vector<std::string> ReportEntry::frames(const std::string& header) const {
    for (const auto& [title, lines] : stacks)
        if (title == header)
            return lines;
    return {};
}

std::string ReportEntry::top(const std::string& header) const {
    const auto lines = frames(header);
    if (lines.empty())
        return "";
    const std::string last = lines[0].substr(lines[0].find_last_of(' ') + 1);
    const size_t colon = last.rfind(':');
    if (colon == std::string::npos)
        return last;
    return std::filesystem::path(last.substr(0, colon)).filename().string() + last.substr(colon);
}

std::vector<ReportEntry> report_entries(const std::string& report) {
    std::vector<ReportEntry> entries;
    std::istringstream in(report);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        const size_t error = line.find(": error: ");
        if (error != std::string::npos && line.find(' ') > error) {
            const size_t kind = error + 9;
            entries.push_back({line.substr(kind, line.find(':', kind) - kind), line, {{"", {}}}});
            inside = true;
        } else if (!inside || !line.starts_with("  ")) {
            inside = false;
        } else if (const size_t text = line.find_first_not_of(' '); line[text] == '#') {
            entries.back().stacks.back().second.push_back(line);
        } else {
            entries.back().stacks.push_back({line.substr(text), {}});
        }
    }
    return entries;
}

ReportEntry entry_of(const std::string& report, const std::string& kind) {
    for (ReportEntry& entry : report_entries(report))
        if (entry.kind == kind)
            return entry;
    return {};
}

std::vector<std::string> error_kinds(const std::string& report) {
    std::vector<std::string> kinds;
    for (const ReportEntry& entry : report_entries(report))
        kinds.push_back(entry.kind);
    return kinds;
}

std::string summary_line(const std::string& report) {
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(": summary: ");
        if (at != std::string::npos && line.find(' ') > at)
            return line;
    }
    return "";
}

}  // namespace ryn_test
