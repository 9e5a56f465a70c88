#include "support/corpus.h"

#include <algorithm>
#include <filesystem>
#include <iterator>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace ryn_corpus {

namespace {

void run_compiler(const std::string& source, const std::string& arguments) {
    const std::string command =
        (source.ends_with(".cpp") ? std::string("c++") : RYN_TEST_CC) + " " + arguments;
    const ryn_test::RunResult result = ryn_test::run_shell(command);
    if (result.status != 0) {
        ADD_FAILURE() << "compiler failed:\n" << command << "\n" << result.err;
    }
}

// Builds a program and its libraries with the compiler `flags`, adding
// `link_extra` to every link.
Build build(const Program& program, const std::string& dir, const std::string& flags,
            const std::string& link_extra) {
    std::filesystem::create_directories(dir);
    Build result{dir, dir + "/" + program.name, {}, {"-M"}};
    auto make_library = [&](const Library& lib) {
        const std::string src = source_path(lib.source);
        run_compiler(src, flags + " -fPIC -shared -o " + shell_quote(result.plugin_path(lib.name)) +
                              " " + shell_quote(src) + " " + link_extra);
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
        result.options.insert(result.options.end(), {"-l", result.plugin_path(name)});
    }
    result.args.insert(result.args.end(), program.args.begin(), program.args.end());
    const std::string src = source_path(program.source);
    run_compiler(src, flags + " -o " + shell_quote(result.executable) + " " + shell_quote(src) +
                          " -L" + shell_quote(dir) + libs + " -Wl,-rpath," + shell_quote(dir) +
                          " " + link_extra + " -pthread -ldl");
    return result;
}

}  // namespace

std::vector<std::string> Build::input_run(const std::string& file) const {
    std::vector<std::string> command{file};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<std::string> Build::ryn_run(const std::string& mode) const {
    std::vector<std::string> command{ryn_test::stage_bin("ryn"), mode};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(executable);
    return command;
}

std::vector<Library> Program::measured_libraries() const {
    std::vector<Library> all = linked;
    std::ranges::copy_if(plugins, std::back_inserter(all), [&](const Library& lib) {
        return std::ranges::find(named, lib.name) != named.end();
    });
    return all;
}

std::vector<std::string> Program::measured_objects() const {
    std::vector<std::string> objects{name};
    for (const Library& lib : measured_libraries()) {
        objects.push_back("lib" + lib.name + ".so");
    }
    return objects;
}

const std::vector<Program>& programs() {
    static const std::vector<Program> corpus = {
        {"libs",
         "libs_main.c",
         {{"shapes", "libs_shapes.c"}, {"words", "libs_words.c"}},
         {},
         {"one two  three four"},
         {}},
        {"threads", "threads.c", {}, {}, {}, {}},
        {"forkexec", "forkexec.c", {}, {}, {}, {}},
        {"plugin",
         "plugin_main.c",
         {},
         {{"double", "plugin_double.c"}, {"square", "plugin_square.c"}},
         {},
         {"double"}},
        {"jumptable", "jumptable.c", {}, {}, {"aacfhgzbdeijkl"}, {}},
        {"recursion", "recursion.c", {}, {}, {}, {}},
        {"exceptions", "exceptions.cpp", {}, {}, {}, {}},
    };
    return corpus;
}

std::string source_path(const std::string& file) {
    return std::string(RYN_SOURCE_DIR) + "/tests/fixtures/corpus/" + file;
}

Build build_annotated(const Program& program, const std::string& dir, const std::string& opt) {
    return build(program, dir, opt + " -g", shell_quote(ryn_test::kalnote_object()));
}

Build build_with_gcov(const Program& program, const std::string& dir) {
    // Threads update the counters at once; without atomic updates gcov
    // loses counts and may call a line that ran not run.
    return build(program, dir, "-O0 -g --coverage -fprofile-update=atomic", "");
}

int line_holding(const std::string& file, const std::string& text) {
    const std::string content = ryn_test::read_file(file);
    const size_t at = content.find(text);
    return at == std::string::npos
               ? 0
               : 1 + static_cast<int>(std::count(content.begin(), content.begin() + at, '\n'));
}

}  // namespace ryn_corpus
