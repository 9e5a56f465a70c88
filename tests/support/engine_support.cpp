#include "support/engine_support.h"

#include <gtest/gtest.h>

namespace ryn_test {

RunResult run_morphel(std::vector<std::string> args, const std::string& cwd) {
    args.insert(args.begin(), stage_lib("morphel"));
    return run(args, {}, cwd);
}

namespace {

bool make_copy(std::vector<std::string> args, const std::string& original, const std::string& copy,
               const std::vector<std::string>& records) {
    if (!records.empty()) {
        std::string info;
        for (const std::string& record : records) {
            info += record + "\n";
        }
        write_file(copy + ".ryninfo", info);
        args.push_back("-ryninfo=" + copy + ".ryninfo");
    }
    args.insert(args.end(), {"-o", copy, original});
    const RunResult made = run_morphel(args);
    EXPECT_EQ(made.status, 0) << made.err;
    return made.status == 0;
}

}  // namespace

bool make_probed_copy(const std::string& original, const std::string& copy,
                      const std::string& datadir, const std::vector<std::string>& records) {
    return make_copy({"-ryn", "-xkalfix=instrument:" + datadir}, original, copy, records);
}

bool make_checker_copy(const std::string& original, const std::string& copy,
                       const std::vector<std::string>& records) {
    return make_copy({"-ped", "-xkalfix=instrument"}, original, copy, records);
}

}  // namespace ryn_test
