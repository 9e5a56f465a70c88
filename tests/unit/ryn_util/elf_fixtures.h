// ELF files for the inspection and target-check tests, built at test time
// with the system compiler and binutils.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace ryn_test {

// Compiles a small program (position-independent unless flags say
// otherwise); `annotated` links in the section that marks it as prepared.
inline std::string build_program(const TempDir& dir, const std::string& name, bool annotated,
                                 const std::string& flags = "") {
    const std::string path = dir / name;
    compile_c(hello_source(name) + (annotated ? k_annotate_asm : ""), path, flags);
    return path;
}

// Runs objcopy with `args`, then `input` and `output`.
inline std::string objcopy(const std::vector<std::string>& args, const std::string& input,
                           const std::string& output) {
    std::vector<std::string> argv{"objcopy"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(input);
    argv.push_back(output);
    const RunResult result = run(argv);
    EXPECT_EQ(result.status, 0) << result.err;
    return output;
}

// Writes each string followed by its NUL, as they sit in a ".comment" section.
inline std::string write_strings(const std::string& path, const std::vector<std::string>& strings) {
    std::string bytes;
    for (const std::string& s : strings) {
        bytes += s;
        bytes += '\0';
    }
    write_file(path, bytes);
    return path;
}

// A copy of `input` whose ".comment" holds exactly `strings`.
inline std::string with_comment(const TempDir& dir, const std::string& input,
                                const std::string& name, const std::vector<std::string>& strings) {
    const std::string contents = write_strings(dir / (name + ".comment-bytes"), strings);
    return objcopy({"--update-section", ".comment=" + contents}, input, dir / name);
}

// A copy of `input` carrying a signature section.
inline std::string signed_copy(const TempDir& dir, const std::string& input,
                               const std::string& name) {
    write_file(dir / "signature", "signed by somebody");
    return objcopy({"--add-section", ".QVEN_signature=" + (dir / "signature")}, input, dir / name);
}

}  // namespace ryn_test
