#include "support/engine_support.h"

#include <gtest/gtest.h>

namespace ryn_test {

RunResult run_morphel(std::vector<std::string> args, const std::string& cwd) {
    args.insert(args.begin(), stage_lib("morphel"));
    return run(args, {}, cwd);
}

bool make_probed_copy(const std::string& original, const std::string& copy,
                      const std::string& datadir, const std::vector<std::string>& records) {
    std::vector<std::string> args = {"-ryn", "-xkalfix=instrument:" + datadir};
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

}  // namespace ryn_test
