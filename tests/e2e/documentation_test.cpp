// The manual pages render cleanly, and every option the command-line parsers
// accept is named both in the front end's usage text and in its manual page,
// so that neither can drift from the parsers. The options are read from the
// parsers' own sources: a new option needs a new literal there, and the test
// fails until it is documented.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

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
        if (entry.path().extension() != ".cpp") {
            continue;
        }
        std::string text = ryn_test::read_file(entry.path().string());
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

// The checker's getopt letters, and the forms of its -W and -Y values.
std::set<Option> memvex_options() {
    const std::vector<std::string> sources =
        parser_sources(std::regex(R"(void process_memvex_options\()"));
    EXPECT_EQ(sources.size(), 1u) << "the memory checker's parser was not found";
    std::set<Option> options;
    for (const std::string& text : sources) {
        std::smatch letters;
        EXPECT_TRUE(std::regex_search(text, letters, std::regex(R"re("\+([^"]+)")re")))
            << "no getopt option string";
        for (const char c : letters[1].str()) {
            if (c != ':') {
                options.insert({std::string("-") + c, false});
            }
        }
        const std::regex sub(R"re(s(\.starts_with\(| == )"(-[^"]*)")re");
        for (std::sregex_iterator it(text.begin(), text.end(), sub), end; it != end; ++it) {
            options.insert({"-Wd," + (*it)[2].str(), (*it)[1] != " == "});
        }
        const std::regex form(R"re((form [!=]= |strncmp\(optarg, )"(\w),")re");
        for (std::sregex_iterator it(text.begin(), text.end(), form), end; it != end; ++it) {
            const std::string letter = (*it)[1].str().starts_with("form") ? "-W" : "-Y";
            options.insert({letter + (*it)[2].str() + ",", true});
            // The letter itself is named by its forms.
            options.erase({letter, false});
            options.insert({letter, true});
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

// The page as a reader sees it, in plain text on a line too long to wrap an option.
std::string rendered(const std::string& page) {
    const ryn_test::RunResult r = ryn_test::run(
        {"groff", "-man", "-Tascii", "-P-c", "-P-b", "-P-o", "-P-u", "-rLL=250n", page_path(page)});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

void expect_all_named(const std::set<Option>& options, const std::string& text,
                      const std::string& where) {
    for (const Option& option : options) {
        EXPECT_TRUE(mentions(text, option)) << option.text << " is not named in " << where;
    }
}

TEST(ManualPages, EveryPageRendersWithoutWarnings) {
    for (const char* page : {"ryn.1", "zentor.1", "memvex.1", "ryn.rc.5"}) {
        const ryn_test::RunResult r =
            ryn_test::run({"groff", "-ww", "-z", "-man", page_path(page)});
        EXPECT_EQ(r.status, 0) << page;
        EXPECT_EQ(r.err, "") << page;
    }
}

TEST(DocumentedOptions, EveryGeneralOptionIsInTheHelpAndInTheRynAndZentorPages) {
    const std::set<Option> options = general_options();
    ASSERT_TRUE(options.contains({"-zentor", false}));
    const ryn_test::RunResult help = ryn_test::run({ryn_test::stage_bin("ryn"), "--help"});
    ASSERT_EQ(help.status, 0);
    expect_all_named(options, help.err, "ryn --help");
    // The checker's own options stay out of the general usage.
    EXPECT_FALSE(mentions(help.err, {"-Wd,-c", true})) << help.err;
    expect_all_named(options, rendered("ryn.1"), "ryn(1)");
    expect_all_named(options, rendered("zentor.1"), "zentor(1)");
    for (const std::string word : {"instrument", "collect", "analyze", "coverage", "optimize",
                                   "check", "bbc", "branch", "ifreq", "cc", "function", "dis"}) {
        EXPECT_TRUE(mentions(rendered("ryn.1"), {word, false})) << word;
    }
}

TEST(DocumentedOptions, EveryCheckerOptionIsInItsUsageAndPageAndNoOtherOptionIs) {
    const std::set<Option> options = memvex_options();
    ASSERT_TRUE(options.contains({"-Wd,-a=", true}));
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

}  // namespace
