// ryn counts what gcc's own coverage counts. Every corpus program, at -O0,
// instrumented by ryn and run on its input (where it behaves as the
// original), against a --coverage build run on the same input and read with
// gcov -a -b -c: the count of every line on which one block starts, the taken
// and not-taken counts of every conditional branch (per line, compared as
// sets of pairs, since the two may lay out a condition the other way round),
// and the calls of every function.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/coverage_summary.h"
#include "coverage/instr_data.h"
#include "support/corpus.h"
#include "support/e2e_support.h"
#include "support/gcov_text.h"
#include "support/test_support.h"

using namespace ryn_test;
using namespace ryn_corpus;
using ryn_gcov::GcovSource;

namespace {

using Pairs = std::vector<std::pair<uint64_t, uint64_t>>;

std::pair<uint64_t, uint64_t> unordered(uint64_t a, uint64_t b) {
    return {std::min(a, b), std::max(a, b)};
}

using GcovCounts = ryn_e2e::HermeticSuite<Program>;

// How many blocks start on each line of `source`.
std::map<int, int> blocks_per_line(const std::vector<coverage::InstrData>& data,
                                   const std::string& source) {
    std::map<int, int> blocks;
    for (const coverage::InstrData& object : data) {
        for (const coverage::Block& block : object.blocks) {
            blocks[static_cast<int>(block.line)] += block.file == source && block.line != 0;
        }
    }
    return blocks;
}

void expect_same_lines(const coverage::FileCoverage& ryn, const GcovSource& gcov,
                       const std::map<int, int>& blocks) {
    // gcov takes every call to return: the line after an exec that replaced
    // the process counts as run there.
    const int after_exec =
        ryn.path.ends_with("/forkexec.c") ? line_holding(ryn.path, "execl(") + 1 : 0;
    size_t compared = 0;
    for (const auto& [line, count] : ryn.lines) {
        const auto gcov_line = gcov.lines.find(static_cast<int>(line));
        if (blocks.at(static_cast<int>(line)) != 1 || gcov_line == gcov.lines.end() ||
            static_cast<int>(line) == after_exec) {
            continue;
        }
        EXPECT_EQ(count, gcov_line->second) << "line " << line;
        ++compared;
    }
    EXPECT_GE(compared * 4, ryn.lines.size()) << "too few lines hold one block to compare";
}

// Returns how many of gcov's branches were compared.
size_t expect_same_branches(const coverage::FileCoverage& ryn, const GcovSource& gcov) {
    std::map<int, Pairs> ryn_pairs;
    for (const auto& [line, branches] : ryn.branches) {
        for (const coverage::BranchCoverage& branch : branches) {
            ryn_pairs[static_cast<int>(line)].push_back(unordered(branch.taken, branch.not_taken));
        }
    }
    std::map<int, Pairs> gcov_pairs;
    // A switch is one block of many ways to gcov, a chain of compares or a
    // table in the code: its lines are left out.
    std::set<int> switches;
    for (const auto& [line, blocks] : gcov.blocks) {
        for (const std::vector<uint64_t>& edges : blocks) {
            if (edges.size() > 2) {
                switches.insert(line);
            } else if (edges.size() == 2) {
                gcov_pairs[line].push_back(unordered(edges[0], edges[1]));
            }
        }
    }
    for (auto* pairs : {&ryn_pairs, &gcov_pairs}) {
        // Only the branches that ran: one that never did could be a call's
        // edges to gcov.
        for (auto& [line, list] : *pairs) {
            std::erase(list, std::pair<uint64_t, uint64_t>{0, 0});
            std::sort(list.begin(), list.end());
        }
        std::erase_if(*pairs, [&](const auto& line) {
            return line.second.empty() || switches.contains(line.first);
        });
    }
    EXPECT_EQ(ryn_pairs, gcov_pairs);
    size_t compared = 0;
    for (const auto& [line, list] : gcov_pairs) {
        compared += list.size();
    }
    return compared;
}

void expect_same_calls(const std::string& source, const coverage::CoverageSummary& summary,
                       const GcovSource& gcov) {
    std::map<std::string, uint64_t> ryn_calls;
    for (const coverage::FunctionCoverage& function : summary.functions) {
        if (function.file == source) {
            ryn_calls[function.name] += function.calls;
        }
    }
    for (const auto& [name, calls] : gcov.calls) {
        ASSERT_TRUE(ryn_calls.contains(name)) << name;
        EXPECT_EQ(ryn_calls.at(name), calls) << name;
    }
}

TEST_P(GcovCounts, LinesBranchesAndCallsAsGcovCountsThem) {
    const Program& program = GetParam();
    const Build build = build_annotated(program, *work / program.name, "-O0");
    ASSERT_FALSE(HasFailure());
    const RunResult instrumented = run(build.ryn_run("instrument"), env, build.dir);
    ASSERT_EQ(instrumented.status, 0) << instrumented.err;
    const RunResult expected = run(build.input_run(build.executable), env, build.dir);
    const RunResult actual = run(build.input_run(build.executable + ".instr"), env, build.dir);
    EXPECT_EQ(actual.out + actual.err, expected.out + expected.err);
    EXPECT_EQ(actual.status, expected.status);
    // The data ryn's copies recorded for the program and its measured libraries.
    std::vector<coverage::InstrData> data;
    for (const std::string& object : program.measured_objects()) {
        data.push_back(coverage::read_instr_data_file(build.dir + "/" + object + ".instrdata/" +
                                                      program.name + ".instrdata"));
        EXPECT_TRUE(data.back().counts_exact) << object;
    }
    ASSERT_FALSE(HasFailure());
    const coverage::CoverageSummary summary = coverage::summarize(data, coverage::FunctionFilter());

    const Build gcc = build_with_gcov(program, *work / (program.name + "-gcov"));
    EXPECT_EQ(run(gcc.input_run(gcc.executable), {}, gcc.dir).out, expected.out);
    const std::map<std::string, GcovSource> gcov = ryn_gcov::run_gcov(gcc.dir);

    std::vector<std::string> sources{source_path(program.source)};
    for (const Library& lib : program.measured_libraries()) {
        sources.push_back(source_path(lib.source));
    }
    size_t branches = 0;
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        const auto file = std::ranges::find(summary.files, source, &coverage::FileCoverage::path);
        ASSERT_NE(file, summary.files.end()) << "no data of ryn's";
        ASSERT_TRUE(gcov.contains(source)) << "no listing of gcov's";
        expect_same_lines(*file, gcov.at(source), blocks_per_line(data, source));
        branches += expect_same_branches(*file, gcov.at(source));
        expect_same_calls(source, summary, gcov.at(source));
    }
    EXPECT_GT(branches, 0u) << "no branch to compare";
}

// Instrumenting a program changes nothing it does, and the -O2 build proves
// it where the compiler reorders most: every corpus program, instrumented
// with its own libraries and named plugins as a user would, by each front
// end, prints the same and exits with the same status as the original.
// ryn's copies count every execution; the coverage front end's take the
// one-shot way and count runs. Plugins named with -l are measured; the
// others are only logged.
using Corpus = ryn_e2e::HermeticSuite<Program>;

TEST_P(Corpus, RunsAsTheOriginalUnderBothFrontEnds) {
    const Program& program = GetParam();
    const Build build = build_annotated(program, *work / program.name, "-O2");
    ASSERT_FALSE(HasFailure());
    const RunResult expected = run(build.input_run(build.executable), env, build.dir);

    for (const auto& [front_end, counts] :
         {std::pair<std::string, std::string>{"ryn", "exact"}, {"zentor", "runs"}}) {
        SCOPED_TRACE(front_end);
        std::vector<std::string> command = build.ryn_run("instrument");
        command[0] = stage_bin(front_end);
        const RunResult instrumented = run(command, env, build.dir);
        ASSERT_EQ(instrumented.status, 0) << instrumented.err;
        const RunResult actual = run(build.input_run(build.executable + ".instr"), env, build.dir);
        EXPECT_EQ(actual.out, expected.out);
        EXPECT_EQ(actual.err, expected.err);
        EXPECT_EQ(actual.status, expected.status);
        // A copy that measured nothing would pass the comparison as well.
        for (const std::string& object : program.measured_objects()) {
            const std::string data =
                build.dir + "/" + object + ".instrdata/" + program.name + ".instrdata";
            ASSERT_TRUE(exists(data)) << object;
            EXPECT_NE(read_file(data).find("\ncounts " + counts + "\n"), std::string::npos)
                << object;
        }
    }
    for (const Library& lib : program.plugins) {
        EXPECT_EQ(exists(build.dir + "/lib" + lib.name + ".so.instrdata"),
                  std::ranges::find(program.named, lib.name) != program.named.end())
            << lib.name;
    }
    // The library log names every library of the program's own, measured or not.
    const auto logs =
        ryn_e2e::files_ending_in(work->path() + "/cache", "/" + program.name + ".original.liblog");
    ASSERT_FALSE(logs.empty());
    for (const std::string& log : logs) {
        for (const auto* libraries : {&program.linked, &program.plugins}) {
            for (const Library& lib : *libraries) {
                EXPECT_NE(read_file(log).find(build.plugin_path(lib.name) + "\n"),
                          std::string::npos)
                    << log << ":\n"
                    << read_file(log);
            }
        }
    }
}

const auto k_program_name = [](const testing::TestParamInfo<Program>& info) {
    return info.param.name;
};
INSTANTIATE_TEST_SUITE_P(Corpus, GcovCounts, testing::ValuesIn(programs()), k_program_name);
INSTANTIATE_TEST_SUITE_P(Corpus, Corpus, testing::ValuesIn(programs()), k_program_name);

}  // namespace
