#include "support/corpus.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace ryn_corpus {

namespace {

std::string sh_word(const std::string& path) { return shell_quote(path); }

void run_compiler(const std::string& command) {
    const ryn_test::RunResult result = ryn_test::run_shell(command);
    if (result.status != 0) {
        ADD_FAILURE() << "compiler failed:\n" << command << "\n" << result.err;
    }
}

std::string compiler_for(const std::string& source) {
    return source.ends_with(".cpp") ? "c++" : RYN_TEST_CC;
}

// Builds a program and its libraries with the compiler `flags`, adding
// `link_extra` to every link; with `separate_objects` each source is compiled
// to an object of its own name first, where gcov looks for its notes.
Build build(const Program& program, const std::string& dir, const std::string& flags,
            const std::string& link_extra, bool separate_objects) {
    fs::create_directories(dir);
    Build result{dir, dir + "/" + program.name, {}, {}};
    auto make_library = [&](const Library& lib) {
        const std::string src = source_path(lib.source);
        const std::string out = result.plugin_path(lib.name);
        if (separate_objects) {
            const std::string object = dir + "/" + fs::path(lib.source).stem().string() + ".o";
            run_compiler(compiler_for(src) + " " + flags + " -fPIC -c -o " + sh_word(object) + " " +
                         sh_word(src));
            run_compiler(compiler_for(src) + " " + flags + " -shared -o " + sh_word(out) + " " +
                         sh_word(object) + " " + link_extra);
        } else {
            run_compiler(compiler_for(src) + " " + flags + " -fPIC -shared -o " + sh_word(out) + " " +
                         sh_word(src) + " " + link_extra);
        }
    };
    std::string libs;
    for (const Library& lib : program.linked) {
        make_library(lib);
        libs += " -l" + lib.name;
    }
    for (const Library& lib : program.plugins) {
        make_library(lib);
        result.args.push_back(result.plugin_path(lib.name));
    }
    for (const std::string& name : program.named) {
        result.named_plugins.push_back(result.plugin_path(name));
    }
    result.args.insert(result.args.end(), program.args.begin(), program.args.end());

    const std::string src = source_path(program.source);
    std::string inputs = sh_word(src);
    if (separate_objects) {
        inputs = sh_word(dir + "/" + fs::path(program.source).stem().string() + ".o");
        run_compiler(compiler_for(src) + " " + flags + " -c -o " + inputs + " " + sh_word(src));
    }
    run_compiler(compiler_for(src) + " " + flags + " -o " + sh_word(result.executable) + " " + inputs +
                 " -L" + sh_word(dir) + libs + " -Wl,-rpath," + sh_word(dir) + " " + link_extra +
                 " -pthread -ldl");
    return result;
}

// One gcov listing line: "<count>:<line>:<text>", count "-" for a line
// that is no code and "#####" or "=====" for code that never ran.
void read_gcov_listing(const std::string& text, LineCoverage& lines) {
    std::istringstream in(text);
    for (std::string row; std::getline(in, row);) {
        const size_t first = row.find(':');
        const size_t second = first == std::string::npos ? first : row.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        std::string count = row.substr(0, first);
        count.erase(0, count.find_first_not_of(' '));
        const std::string number = row.substr(first + 1, second - first - 1);
        const int line = std::atoi(number.c_str());
        if (line <= 0 || count == "-" || count.empty()) {
            continue;
        }
        const bool ran = count != "#####" && count != "=====";
        lines[line] = lines[line] || ran;
    }
}

}  // namespace

std::vector<std::string> Program::sources() const {
    std::vector<std::string> all{source_path(source)};
    for (const auto* group : {&linked, &plugins}) {
        for (const Library& lib : *group) {
            all.push_back(source_path(lib.source));
        }
    }
    return all;
}

std::vector<std::string> Program::measured_sources() const {
    std::vector<std::string> all{source_path(source)};
    for (const Library& lib : linked) {
        all.push_back(source_path(lib.source));
    }
    for (const Library& lib : plugins) {
        if (std::ranges::find(named, lib.name) != named.end()) {
            all.push_back(source_path(lib.source));
        }
    }
    return all;
}

const std::vector<Program>& programs() {
    static const std::vector<Program> corpus = {
        {"libs", "libs_main.c", {{"shapes", "libs_shapes.c"}, {"words", "libs_words.c"}}, {},
         {"one two  three four"}, {}},
        {"threads", "threads.c", {}, {}, {}, {}},
        {"forkexec", "forkexec.c", {}, {}, {}, {}},
        {"plugin", "plugin_main.c", {}, {{"double", "plugin_double.c"}, {"square", "plugin_square.c"}},
         {}, {"double"}},
        {"jumptable", "jumptable.c", {}, {}, {"aacfhgzbdeijkl"}, {}},
        {"recursion", "recursion.c", {}, {}, {}, {}},
        {"exceptions", "exceptions.cpp", {}, {}, {}, {}},
    };
    return corpus;
}

const Program& program(const std::string& name) {
    for (const Program& p : programs()) {
        if (p.name == name) {
            return p;
        }
    }
    throw std::invalid_argument("no corpus program " + name);
}

std::string source_path(const std::string& file) {
    return std::string(RYN_SOURCE_DIR) + "/tests/fixtures/corpus/" + file;
}

Build build_annotated(const Program& program, const std::string& dir, const std::string& opt) {
    return build(program, dir, opt + " -g", sh_word(ryn_test::kalnote_object()), false);
}

Build build_with_gcov(const Program& program, const std::string& dir) {
    // Threads update the counters at once; without atomic updates gcov
    // loses counts and may call a line that ran not run.
    return build(program, dir, "-O0 -g --coverage -fprofile-update=atomic", "", true);
}

FileLines gcov_lines(const Program& program, const Build& build) {
    FileLines files;
    for (const std::string& source : program.sources()) {
        const std::string stem = fs::path(source).stem().string();
        const ryn_test::RunResult result = ryn_test::run(
            {"gcov", "-o", build.dir + "/" + stem + ".o", source}, {}, build.dir);
        EXPECT_EQ(result.status, 0) << "gcov " << source << ": " << result.err;
        read_gcov_listing(ryn_test::read_file(build.dir + "/" + fs::path(source).filename().string() +
                                              ".gcov"),
                          files[source]);
    }
    return files;
}

FileLines lcov_lines(const std::string& tracefile_text) {
    FileLines files;
    std::istringstream in(tracefile_text);
    LineCoverage* current = nullptr;
    for (std::string row; std::getline(in, row);) {
        if (row.starts_with("SF:")) {
            current = &files[row.substr(3)];
        } else if (row.starts_with("DA:") && current != nullptr) {
            const int line = std::atoi(row.c_str() + 3);
            const size_t comma = row.find(',');
            const bool ran = comma != std::string::npos && std::atol(row.c_str() + comma + 1) > 0;
            (*current)[line] = (*current)[line] || ran;
        } else if (row == "end_of_record") {
            current = nullptr;
        }
    }
    return files;
}

std::string disagreements(const LineCoverage& gcov, const LineCoverage& ryn) {
    auto word = [](bool ran) { return ran ? "ran" : "not run"; };
    std::string text;
    for (const auto& [line, ran] : gcov) {
        const auto other = ryn.find(line);
        if (other != ryn.end() && other->second != ran) {
            text += std::to_string(line) + ": gcov " + word(ran) + ", ryn " + word(other->second) + "\n";
        }
    }
    return text;
}

int line_holding(const std::string& file, const std::string& text) {
    std::istringstream in(ryn_test::read_file(file));
    int number = 0;
    for (std::string row; std::getline(in, row);) {
        ++number;
        if (row.find(text) != std::string::npos) {
            return number;
        }
    }
    return 0;
}

}  // namespace ryn_corpus
