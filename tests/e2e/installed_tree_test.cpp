// What the installed tree promises stays true: the manual pages render
// cleanly, every option the command-line parsers accept is named in the front
// end's usage text and in its manual page (read from the parsers' own sources,
// so a new option fails the test until it is documented), the getting-started
// guide works as written, the bash completion offers at each point of a
// command line what the driver accepts there, and a program that loads the
// shared driver sees what its version script names and needs only the
// installed headers.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "support/e2e_support.h"

namespace {

namespace fs = std::filesystem;

const std::string k_source_dir = RYN_SOURCE_DIR;

struct Option {
    std::string text;
    bool prefix;  // "-Wo," or "-xinline": what follows runs on into a value
    bool operator<(const Option& o) const { return text < o.text; }
};

// Literals the general parser compares with but that name no option: the
// refused "-b", and texts it hands on to its tools.
const std::set<std::string> k_not_options = {
    "-b",   "-static",   "-out=",  "-optlevel=", "-er",
    "-er:", "-fignore=", "-mt=on", "-mt=off",    "-xkalfix=final"};

std::vector<std::string> parser_sources(const std::regex& defines) {
    std::vector<std::string> texts;
    for (const auto& entry : fs::recursive_directory_iterator(k_source_dir + "/src/driver")) {
        std::string text =
            entry.path().extension() == ".cpp" ? ryn_test::read_file(entry.path().string()) : "";
        if (std::regex_search(text, defines)) {
            texts.push_back(std::move(text));
        }
    }
    return texts;
}

// Every "-..." literal of the general front end's handlers.
std::set<Option> general_options() {
    const std::vector<std::string> sources = parser_sources(
        std::regex(R"((void process_options|bool GeneralCommandLine::process_\w+_arg)\()"));
    EXPECT_GE(sources.size(), 2u) << "the general parser was not found";
    const std::regex literal(R"re((has_prefix\(\w+,\s*|starts_with\()?"(-[^"\\ ]*) ?")re");
    std::set<Option> options;
    for (const std::string& text : sources) {
        for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it) {
            const std::string option = (*it)[2];
            if (option.size() > 1 && !k_not_options.contains(option)) {
                options.insert({option, (*it)[1].matched});
            }
        }
    }
    return options;
}

// The checker's getopt letters; one that takes a value may run on into it
// ("-Wi,").
std::set<Option> memvex_options() {
    const std::vector<std::string> sources =
        parser_sources(std::regex(R"(void process_memvex_options\()"));
    EXPECT_EQ(sources.size(), 1u) << "the memory checker's parser was not found";
    std::smatch spec;
    std::set<Option> options;
    if (!sources.empty() && std::regex_search(sources[0], spec, std::regex(R"re("\+([^"]+)")re"))) {
        const std::string letters = spec[1].str() + " ";
        for (size_t i = 0; i + 1 < letters.size(); ++i) {
            if (letters[i] != ':') {
                options.insert({std::string("-") + letters[i], letters[i + 1] == ':'});
            }
        }
    }
    return options;
}

// Whether `text` names `option` as a word of its own: "-k" is not named by
// "-keeptmp", nor "-v" by "-vv", while a prefix option runs on into its value.
bool mentions(const std::string& text, const Option& option) {
    const std::string quoted =
        std::regex_replace(option.text, std::regex(R"([?^$.|*+()\[\]{}\\])"), R"(\$&)");
    const bool open = option.prefix || !isalnum(static_cast<unsigned char>(option.text.back()));
    const std::string end = open ? "" : "([^A-Za-z0-9_-]|$)";
    return std::regex_search(text, std::regex("(^|[^A-Za-z0-9_-])" + quoted + end));
}

std::string page_path(const std::string& name) { return k_source_dir + "/docs/man/" + name; }

// The page as a reader sees it, in plain text on a line too long to wrap an
// option; rendered without a warning.
std::string rendered(const std::string& page) {
    const ryn_test::RunResult r = ryn_test::run({"groff", "-ww", "-man", "-Tascii", "-P-c", "-P-b",
                                                 "-P-o", "-P-u", "-rLL=250n", page_path(page)});
    EXPECT_EQ(r.status, 0) << page;
    EXPECT_EQ(r.err, "") << page;
    return r.out;
}

void expect_all_named(const std::set<Option>& options, const std::string& text,
                      const std::string& where) {
    for (const Option& option : options) {
        EXPECT_TRUE(mentions(text, option)) << option.text << " is not named in " << where;
    }
}

TEST(DocumentedOptions, EveryGeneralOptionIsInTheHelpAndInTheRynAndZentorPages) {
    std::set<Option> options = general_options();
    ASSERT_TRUE(options.contains({"-zentor", false}));
    const ryn_test::RunResult help = ryn_test::run({ryn_test::stage_bin("ryn"), "--help"});
    ASSERT_EQ(help.status, 0);
    expect_all_named(options, help.err, "ryn --help");
    expect_all_named(options, rendered("zentor.1"), "zentor(1)");
    EXPECT_NE(rendered("ryn.rc.5"), "");  // the settings page, which names no option
    // The modes and analyses are named in the page too.
    for (const std::string word : {"instrument", "collect", "analyze", "coverage", "optimize",
                                   "check", "bbc", "branch", "ifreq", "cc", "function", "dis"}) {
        options.insert({word, false});
    }
    expect_all_named(options, rendered("ryn.1"), "ryn(1)");
}

TEST(DocumentedOptions, EveryCheckerOptionIsInItsUsageAndPageAndNoOtherOptionIs) {
    const std::set<Option> options = memvex_options();
    ASSERT_TRUE(options.contains({"-W", true}));
    const ryn_test::RunResult usage = ryn_test::run({ryn_test::stage_bin("memvex"), "-h"});
    ASSERT_EQ(usage.status, 0);
    expect_all_named(options, usage.err, "memvex -h");
    expect_all_named(options, rendered("memvex.1"), "memvex(1)");
    // Options of the general command that the checker refuses stay out of
    // its usage: they once misled users.
    for (const char* foreign : {"-M", "-R", "-U", "-zentor", "-Wa,", "-I"}) {
        EXPECT_FALSE(mentions(usage.err, {foreign, false})) << foreign;
    }
}

// Every command block of the guide runs, in order and in one shell, from a
// checkout whose _install is the staged tree, ends with the exit status and
// shows the line that the guide's comment after it promises.
TEST(GettingStarted, EveryCommandBlockRunsAsTheGuideSays) {
    const std::string guide =
        ryn_test::read_file(std::string(RYN_SOURCE_DIR) + "/docs/getting-started.md");
    // Each block: its commands, then the status and a pattern of one line.
    const std::regex block(R"(```sh\n([\s\S]*?)```\n(<!-- expect: (\d+) (.*) -->\n)?)");
    const std::vector<std::smatch> blocks(std::sregex_iterator(guide.begin(), guide.end(), block),
                                          std::sregex_iterator());
    ASSERT_GE(blocks.size(), 8u);

    // A checkout after the README's set-up, as far as the guide can tell.
    const ryn_test::TempDir top;
    const std::string checkout = top.path() + "/checkout";
    std::filesystem::create_directory(checkout);
    std::filesystem::create_directory_symlink(ryn_test::stage_dir(), checkout + "/_install");
    std::filesystem::create_directory_symlink(std::string(RYN_SOURCE_DIR) + "/samples",
                                              checkout + "/samples");

    // The blocks are sourced one after another so that what one sets (the
    // directory, variables) holds for the next, as in the reader's shell.
    std::string driver;
    for (size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_TRUE(blocks[i][2].matched) << "a block without its expectation:\n" << blocks[i][1];
        const std::string name = top.path() + "/block" + std::to_string(i);
        ryn_test::write_file(name + ".sh", blocks[i][1]);
        driver += ". '" + name + ".sh' >'" + name + ".out' 2>&1; echo $? >'" + name + ".status'\n";
    }
    const ryn_test::RunResult run =
        ryn_test::run({"bash", "--norc", "-c", driver},
                      {"HOME=" + top.path(), "TMPDIR=" + top.path(), "LC_ALL=C"}, checkout);
    ASSERT_EQ(run.status, 0) << run.err;

    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::string name = top.path() + "/block" + std::to_string(i);
        const std::string output = ryn_test::read_file(name + ".out");
        EXPECT_EQ(ryn_test::read_file(name + ".status"), blocks[i][3].str() + "\n")
            << blocks[i][1] << output;
        const std::regex expected(blocks[i][4].str(),
                                  std::regex::ECMAScript | std::regex::multiline);
        EXPECT_TRUE(std::regex_search(output, expected))
            << blocks[i][4] << " not in the output of\n"
            << blocks[i][1] << output;
    }
}

const std::string k_script = ryn_test::stage_dir() + "/share/bash-completion/completions/ryn";

using Words = std::vector<std::string>;

// The candidates bash offers for the command line `words`, the last word
// being the one under completion.
Words complete(const std::string& words, const std::string& cwd) {
    const std::string function = words.starts_with("memvex") ? "_memvex_complete" : "_ryn_complete";
    const std::string script = "source '" + k_script + "'; COMP_WORDS=(" + words +
                               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " + function +
                               "; printf '%s\\n' \"${COMPREPLY[@]}\"";
    const ryn_test::RunResult r = ryn_test::run({"bash", "--norc", "-c", script}, {}, cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Words candidates;
    std::istringstream lines(r.out);
    for (std::string word; lines >> word;) {
        candidates.push_back(word);
    }
    return candidates;
}

TEST(ShellCompletion, OffersModesOptionsValuesAndFilesWhereEachBelongs) {
    const ryn_test::TempDir dir;
    ryn_test::write_file(dir.path() + "/prog", "");
    ryn_test::write_file(dir.path() + "/-x", "");  // a file that "-?" would match as a glob
    const std::map<std::string, Words> cases = {
        {"ryn ''",
         {"instrument", "collect", "analyze", "coverage", "optimize", "check", "-h", "-?", "--help",
          "-V"}},
        {"zentor co", {"collect", "coverage"}},
        {"ryn optimize -O", {"-O1", "-O2", "-O3"}},
        // collect takes -g with a group, so its value is no target.
        {"ryn collect -g grp p", {"prog"}},
        // After the target every word is the target's, options too.
        {"ryn collect prog -", {"-x"}},
        {"ryn instrument -t -",
         {"-n",       "-v",      "-z", "-V", "-l", "-L", "-Yo,", "-Ye,", "-Wo,", "-vv",
          "-keeptmp", "-zentor", "-o", "-s", "-I", "-R", "-D",   "-S",   "-U",   "-M",
          "-r",       "-X",      "-m", "-K", "-k", "-N", "-t",   "-Wi,", "-g"}},
        {"memvex -F ''", {"parent", "child", "both"}},
        {"memvex -Wd,-", {"-Wd,-c", "-Wd,-u", "-Wd,-z", "-Wd,-B", "-Wd,-P", "-Wd,-a="}},
        // One operand only: nothing follows the program.
        {"memvex -o out prog ''", {}},
    };
    for (const auto& [line, expected] : cases) {
        EXPECT_EQ(complete(line, dir.path()), expected) << line;
    }
}

TEST(ShellCompletion, EveryOptionOfferedForAModeIsAcceptedInThatMode) {
    const ryn_test::TempDir dir;
    for (const std::string mode :
         {"instrument", "collect", "analyze", "coverage", "optimize", "check"}) {
        const Words offered = complete("ryn " + mode + " -", dir.path());
        ASSERT_FALSE(offered.empty()) << mode;
        for (const std::string& option : offered) {
            // A value the option refuses is reported as an invalid option.
            Words argv = {ryn_test::stage_bin("ryn"), mode, option};
            if (option == "-i" || option == "-a") {
                argv.push_back(option == "-i" ? "on" : "bbc");
            }
            argv.push_back("missing-program");
            const ryn_test::RunResult r = ryn_test::run(argv, {}, dir.path());
            EXPECT_FALSE(ryn_e2e::holds(r.err, "Invalid option")) << mode << " " << option;
        }
    }
}

std::string driver_library() { return ryn_test::stage_lib("libryn_driver.so"); }

TEST(ExportedInterface, TheDriverExportsWhatItsVersionScriptNamesAndNothingElse) {
    const std::string script =
        ryn_test::read_file(std::string(RYN_SOURCE_DIR) + "/src/driver/exports.map");
    const std::regex listed(R"(\n\s+(\w+);)");
    std::set<std::string> expected;
    for (std::sregex_iterator it(script.begin(), script.end(), listed), end; it != end; ++it) {
        expected.insert((*it)[1]);
    }
    ASSERT_TRUE(expected.contains("ryn_main_entry"));
    const ryn_test::RunResult defined =
        ryn_test::run({"nm", "-D", "--defined-only", driver_library()});
    ASSERT_EQ(defined.status, 0) << defined.err;
    std::set<std::string> names;
    std::istringstream lines(defined.out);
    for (std::string address, kind, name; lines >> address >> kind >> name;) {
        names.insert(name);
    }
    EXPECT_EQ(names, expected);
}

// A declaration without C linkage would compile here but fail to link.
TEST(ExportedInterface, TheInstalledHeadersAloneBuildAProgramThatLinksWithTheDriver) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "user.cpp", R"(
#include <ryn/i18n.h>
#include <ryn/pathutil.h>
#include <ryn/ryn_entry.h>

int main() {
    return getBasename("/a/b") && find_msg_enum("RYN_NO_USE", 1) > 0 && get_msg(RYN_NO_WRITE) &&
           !runtime_output;
}
)");
    const ryn_test::RunResult built =
        ryn_test::run_shell("c++ -std=c++20 -Wall -Werror -I '" + ryn_test::stage_dir() +
                            "/include' -o '" + dir / "user" + "' '" + dir / "user.cpp" + "' -L '" +
                            ryn_test::stage_lib("") + "' -lryn_driver");
    EXPECT_EQ(built.status, 0) << built.err;
}

}  // namespace
