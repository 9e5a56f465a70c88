// The launcher: picks the front end from the name it was invoked under and
// hands the command line to the driver.
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "ryn/pathutil.h"
#include "ryn/ryn_entry.h"
#include "usage_texts.h"

namespace {

constexpr const char* k_mode_words[] = {"instrument", "collect",  "analyze",
                                        "coverage",   "optimize", "check"};

bool is_mode_word(const char* arg) {
    for (const char* word : k_mode_words) {
        if (strcmp(arg, word) == 0) {
            return true;
        }
    }
    return false;
}

const char* front_end_for(const char* argv0) {
    const std::string_view base = getBasename(argv0);
    if (base == "memvex") {
        return "memvex";
    }
    if (base == "zentor") {
        return "zentor";
    }
    return "ryn";
}

}  // namespace

int main(int argc, char** argv) {
    const char* front_end = front_end_for(argv[0]);
    select_usage_texts(front_end);
    std::vector<char*> args(argv, argv + argc);
    // The coverage front end is the general one with "-zentor" after the mode word.
    char zentor_option[] = "-zentor";
    if (strcmp(front_end, "zentor") == 0 && argc > 1 && is_mode_word(argv[1])) {
        args.insert(args.begin() + 2, zentor_option);
    }
    args.push_back(nullptr);

    char answer[4096] = {};
    ryn_main_entry(front_end, answer, sizeof answer, static_cast<int>(args.size()) - 1, args.data(),
                   0);
    if (answer[0] != '\0') {
        fputs(answer, stdout);
    }
    return 0;
}
