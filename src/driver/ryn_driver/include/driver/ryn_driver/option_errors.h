// Shared by the front ends' option handlers: the one way an option
// is refused, the one way an option's value is fetched, the width limit of
// option texts built from values, and the test for prefix options.
#pragma once

#include <string>
#include <string_view>

namespace ryn {

class ExecUtil;

// Reports "Invalid option: <option>" and ends the run.
[[noreturn]] void invalid_option(ExecUtil& util, const char* option);

// The argument after the option under `cursor`. An option that needs a value
// but is the last argument is refused as invalid: argv ends at its null entry
// and nothing past it may be read.
const char* option_value(ExecUtil& util, char** cursor);

// `prefix` followed by `text`, cut at 1023 characters in all: option texts
// are built in 1024-byte buffers.
std::string bounded_option(const char* prefix, const char* text);

// Prefix options ("-Wo,", "-Ye,", ...) carry their value in the same word.
inline bool has_prefix(const char* arg, std::string_view prefix) {
    return std::string_view(arg).starts_with(prefix);
}

}  // namespace ryn
