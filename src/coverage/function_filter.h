// Functions left out of every report: names and name prefixes, read from the
// lists the driver writes (items joined by ':') or from files with one item
// a line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace coverage {

class FunctionFilter {
public:
    void exclude_name(std::string name);
    void exclude_prefix(std::string prefix);
    // Every item of the list file at `path` (':' or newline separated).
    // Throws CoverageError when the file cannot be read.
    void exclude_names_in(const std::string& path);
    void exclude_prefixes_in(const std::string& path);

    // A block of no known function (empty name) is never excluded.
    bool excludes(std::string_view function) const;

private:
    std::vector<std::string> names_;
    std::vector<std::string> prefixes_;
};

// The items of a list text: separated by ':' or newlines, blanks around an
// item dropped, empty items skipped.
std::vector<std::string> split_function_list(std::string_view text);

}  // namespace coverage
