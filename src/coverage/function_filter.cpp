#include "coverage/function_filter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "coverage/coverage_error.h"

namespace coverage {
namespace {

std::string read_list_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw CoverageError("cannot read the function list " + path + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<std::string> split_function_list(std::string_view text) {
    std::vector<std::string> items;
    while (!text.empty()) {
        const size_t end = text.find_first_of(":\n");
        std::string_view item = text.substr(0, end);
        const size_t first = item.find_first_not_of(" \t\r");
        if (first != std::string_view::npos) {
            item = item.substr(first, item.find_last_not_of(" \t\r") - first + 1);
            items.emplace_back(item);
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return items;
}

void FunctionFilter::exclude_name(std::string name) { names_.push_back(std::move(name)); }

void FunctionFilter::exclude_prefix(std::string prefix) { prefixes_.push_back(std::move(prefix)); }

void FunctionFilter::exclude_names_in(const std::string& path) {
    for (std::string& name : split_function_list(read_list_file(path))) {
        exclude_name(std::move(name));
    }
}

void FunctionFilter::exclude_prefixes_in(const std::string& path) {
    for (std::string& prefix : split_function_list(read_list_file(path))) {
        exclude_prefix(std::move(prefix));
    }
}

bool FunctionFilter::excludes(std::string_view function) const {
    if (function.empty()) {
        return false;
    }
    return std::ranges::find(names_, function) != names_.end() ||
           std::ranges::any_of(
               prefixes_, [&](const std::string& prefix) { return function.starts_with(prefix); });
}

}  // namespace coverage
