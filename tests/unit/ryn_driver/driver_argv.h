// A mutable, null-terminated argument vector as a program receives it, for
// handing command lines to the driver's parsers.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/ryn_driver/phases.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

// A non-zero link-auditor version keeps the test's own signal dispositions.
constexpr int k_known_lav = 4;

// Keep it alive while the driver reads it; the pointers lead into `strings`.
struct Argv {
    explicit Argv(std::vector<std::string> args) : strings(std::move(args)) {
        for (std::string& s : strings) {
            pointers.push_back(s.data());
        }
        pointers.push_back(nullptr);
    }
    char** get() { return pointers.data(); }
    int argc() const { return static_cast<int>(strings.size()); }

    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

inline std::unique_ptr<ryn::RynDriver> prepared() {
    return std::make_unique<ryn::RynDriver>("ryn", k_known_lav, ryn::RynDriver::PrepareOnly{});
}

// Parses a general front end command line into `d`.
inline void parse(ryn::RynDriver& d, std::vector<std::string> args) {
    Argv argv(std::move(args));
    process_options(argv.argc(), argv.get(), d.options(), d.tool_args(), d.locations(), d.util());
}

inline std::unique_ptr<ryn::RynDriver> parsed(std::vector<std::string> args) {
    auto d = prepared();
    parse(*d, std::move(args));
    return d;
}

// What a refused option prints, as a death test's pattern.
inline std::string invalid_option_regex(const std::string& option) {
    return "^ryn \\(error\\): Invalid option: " + option + "\n$";
}
