// The corpus: small programs of our own in tests/fixtures/corpus, each with a
// fixed input, built the way a user builds for ryn (annotated with kalnote.o)
// or for gcc's own coverage (--coverage).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace ryn_corpus {

// A shared object of a corpus program: linked in, or loaded with dlopen.
struct Library {
    std::string name;    // the file is lib<name>.so
    std::string source;  // file name in the corpus directory
};

struct Program {
    std::string name;
    std::string source;              // the main source
    std::vector<Library> linked;     // needed libraries, in link order
    std::vector<Library> plugins;    // loaded with dlopen, paths passed as arguments
    std::vector<std::string> args;   // the fixed input; plugins' paths come first
    std::vector<std::string> named;  // plugins to name with -l on the ryn command line

    // The libraries ryn measures: the linked ones and the plugins named.
    std::vector<Library> measured_libraries() const;
    // Their file names after the program's own, as the data directories go.
    std::vector<std::string> measured_objects() const;
};

const std::vector<Program>& programs();
// A program as a test parameter prints as its name.
inline void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

// The absolute path of a corpus source file.
std::string source_path(const std::string& file);

// A program built in `dir`: the executable <dir>/<name> and its libraries.
struct Build {
    std::string dir;
    std::string executable;
    std::vector<std::string> args;     // the input, plugin paths made absolute
    std::vector<std::string> options;  // of ryn: -M, and -l for each named plugin
    std::string plugin_path(const std::string& name) const { return dir + "/lib" + name + ".so"; }
    // The command line running `file` on the input.
    std::vector<std::string> input_run(const std::string& file) const;
    // The command line of `ryn mode` on the executable.
    std::vector<std::string> ryn_run(const std::string& mode) const;
};

// Builds `program` annotated for ryn with `opt` ("-O0", "-O2") and -g.
// Fails the current test when a compiler fails.
Build build_annotated(const Program& program, const std::string& dir, const std::string& opt);
// Builds `program` with gcc --coverage at -O0 in `dir`.
Build build_with_gcov(const Program& program, const std::string& dir);

// The number of the first line of `file` holding `text`, or 0.
int line_holding(const std::string& file, const std::string& text);

}  // namespace ryn_corpus
