#include "support/vek_programs.h"

#include <sstream>

namespace ryn_vek {

std::string build_checked(const std::string& dir, const std::string& name,
                          const std::string& source, const std::string& flags) {
    const std::string runtime = ryn_test::stage_lib("amd64/libvek.so");
    const std::string runtime_dir = runtime.substr(0, runtime.rfind('/'));
    const std::string program = dir + "/" + name;
    if (!ryn_test::compile_c(
            source, program,
            flags + " -Wl,--no-as-needed " + runtime + " -Wl,-rpath," + runtime_dir))
        return "";
    return program;
}

ryn_test::RunResult run_limited(const std::string& program, const std::string& arg) {
    if (arg.empty())
        return ryn_test::run({"timeout", "30", program});
    return ryn_test::run({"timeout", "30", program, arg});
}

int count_errors(const std::string& report, const std::string& kind) {
    const std::string prefix = "vek: error: " + kind + ": ";
    std::istringstream lines(report);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.rfind(prefix, 0) == 0;
    return count;
}

std::string first_frame_after(const std::string& report, const std::string& heading) {
    std::istringstream lines(report);
    bool found = false;
    for (std::string line; std::getline(lines, line);) {
        if (!found) {
            found = line.find(heading) != std::string::npos;
            continue;
        }
        if (line.rfind("    #0 ", 0) == 0)
            return line;
    }
    return "";
}

bool frame_is_at(const std::string& frame, const std::string& file, int line) {
    const std::string end = file + ":" + std::to_string(line);
    if (!frame.ends_with(end))
        return false;
    const size_t start = frame.size() - end.size();
    return start > 0 && (frame[start - 1] == '/' || frame[start - 1] == ' ');
}

}  // namespace ryn_vek
