#include "support/memvex_support.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/engine_support.h"

namespace ryn_test {

namespace {

std::string memvex_runtime() { return stage_lib("amd64/libmemvex.so"); }

}  // namespace

bool build_checked(const std::string& source, const std::string& output, bool cxx,
                   const std::string& flags) {
    const std::string source_path = output + (cxx ? ".cpp" : ".c");
    write_file(source_path, source);
    const std::string compiler = cxx ? "c++" : RYN_TEST_CC;
    const std::string command = compiler + " -g -O0 -pthread -o '" + output + "' '" + source_path +
                                "' -Wl,--no-as-needed '" + memvex_runtime() +
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

std::vector<std::string> error_kinds(const std::string& report) {
    std::vector<std::string> kinds;
    const std::string prefix = "memvex: error: ";
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        kinds.push_back(line.substr(prefix.size(), line.find(':', prefix.size()) - prefix.size()));
    }
    return kinds;
}

std::vector<std::string> fault_frames(const std::string& report, const std::string& kind) {
    std::vector<std::string> frames;
    std::istringstream in(report);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!inside) {
            inside = line.rfind("memvex: error: " + kind + ":", 0) == 0;
            continue;
        }
        if (line.rfind("    #", 0) != 0)
            break;
        frames.push_back(line);
    }
    return frames;
}

std::string first_frame_under(const std::string& report, const std::string& title, size_t from) {
    const size_t at = report.find("  " + title + ":\n", from);
    if (at == std::string::npos)
        return "";
    const size_t start = at + title.size() + 4;
    return report.substr(start, report.find('\n', start) - start);
}

}  // namespace ryn_test
