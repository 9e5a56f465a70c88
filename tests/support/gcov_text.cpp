#include "support/gcov_text.h"

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace ryn_gcov {
namespace {

// A count column: digits (with '*' when some block of the line did not
// run), "#####"/"=====" for a line that never ran, "%%%%%"/"$$$$$" for a
// block that never ran; anything else is not code.
bool count_of(std::string field, uint64_t& count) {
    field.erase(0, field.find_first_not_of(' '));
    if (!field.empty() && field.back() == '*') {
        field.pop_back();
    }
    if (field == "#####" || field == "=====" || field == "%%%%%" || field == "$$$$$") {
        count = 0;
        return true;
    }
    if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    count = std::stoull(field);
    return true;
}

// Reads one listing's text into `sources`.
void read_gcov_listing(const std::string& text, std::map<std::string, GcovSource>& sources) {
    std::istringstream in(text);
    GcovSource* source = nullptr;
    int line = 0;
    // The block the rows below belong to. A block continued from an earlier
    // line has no block row of its own: its branches follow the row of the
    // line it ends on.
    std::vector<uint64_t>* block = nullptr;
    // Branch rows after a call row: the call's way on and its exception when
    // gcov marks one "(throw)" (which it does only once the block ran; a
    // block that never ran adds zeros, which the comparison leaves out).
    std::vector<uint64_t> after_call;
    bool seen_call = false;
    bool call_throws = false;
    const auto end_block = [&] {
        if (block != nullptr && !call_throws) {
            block->insert(block->end(), after_call.begin(), after_call.end());
        }
        block = nullptr;
        after_call.clear();
        seen_call = call_throws = false;
    };
    for (std::string row; std::getline(in, row);) {
        if (row.starts_with("function ")) {
            // function NAME called N returned R% blocks executed B%
            std::istringstream words(row.substr(9));
            std::string name, called;
            uint64_t calls = 0;
            if (source && words >> name >> called >> calls && called == "called") {
                source->calls[name] += calls;
            }
            continue;
        }
        if (row.starts_with("call ")) {
            seen_call = true;
            continue;
        }
        if (row.starts_with("branch ")) {
            if (source == nullptr) {
                continue;
            }
            if (block == nullptr) {
                block = &source->blocks[line].emplace_back();
            }
            const size_t taken = row.find(" taken ");
            const uint64_t count =
                taken == std::string::npos ? 0 : std::stoull(row.substr(taken + 7));
            const bool is_throw = row.find("(throw)") != std::string::npos;
            if (seen_call) {
                after_call.push_back(count);
                call_throws |= is_throw;
            } else if (!is_throw) {
                block->push_back(count);
            }
            continue;
        }
        const size_t colon = row.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string rest = row.substr(colon + 1);
        if (rest.find("0:Source:") != std::string::npos) {
            end_block();
            source = &sources[rest.substr(rest.find("Source:") + 7)];
            continue;
        }
        uint64_t count = 0;
        if (source == nullptr || !count_of(row.substr(0, colon), count)) {
            continue;
        }
        end_block();
        const size_t block_mark = rest.find("-block");
        line = std::stoi(rest);
        if (block_mark != std::string::npos && block_mark < rest.find(':')) {
            block = &source->blocks[line].emplace_back();
        } else if (line > 0) {
            source->lines[line] = count;
        }
    }
    end_block();
}

}  // namespace

std::map<std::string, GcovSource> run_gcov(const std::string& build_dir) {
    const std::string out_dir = build_dir + "/gcov-listings";
    std::filesystem::create_directories(out_dir);
    std::map<std::string, GcovSource> sources;
    for (const auto& entry : std::filesystem::directory_iterator(build_dir)) {
        if (entry.path().extension() != ".gcda") {
            continue;
        }
        // -p keeps every listing apart even when two objects share a source.
        const ryn_test::RunResult result =
            ryn_test::run({"gcov", "-a", "-b", "-c", "-p", entry.path().string()}, {}, out_dir);
        EXPECT_EQ(result.status, 0) << "gcov " << entry.path() << ": " << result.err;
    }
    for (const auto& entry : std::filesystem::directory_iterator(out_dir)) {
        if (entry.path().extension() == ".gcov") {
            read_gcov_listing(ryn_test::read_file(entry.path().string()), sources);
        }
    }
    return sources;
}

}  // namespace ryn_gcov
