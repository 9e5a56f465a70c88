// Indirect calls and jumps of a collected run name their real targets with
// exact counts: in the program, in an instrumented library, in libc, through
// a tail jump and a virtual call, under threads, and past the slots a site
// has; a later run's counts add up with the earlier ones.
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

using ryn_test::RunResult;

namespace {

const char* const k_library = "int lib_twice(int v) { return 2 * v; }\n";

const char* const k_program = R"(#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
int lib_twice(int v);
typedef int (*fn)(int);
__attribute__((noipa)) int inc(int v) { return v + 1; }
__attribute__((noipa)) int dbl(int v) { return v * 2; }
__attribute__((noipa)) int neg(int v) { return -v; }
__attribute__((noipa)) int t0(int v) { return v + 10; }
__attribute__((noipa)) int t1(int v) { return v + 11; }
__attribute__((noipa)) int t2(int v) { return v + 12; }
fn volatile four[] = {inc, dbl, lib_twice, abs};
fn volatile six[] = {inc, dbl, neg, t0, t1, t2};
fn volatile pair[] = {inc, neg};
fn volatile twice = dbl;
__attribute__((noipa)) int call_through(fn f, int x) { return f(x) + 1; }
__attribute__((noipa)) int tail(fn f, int x) { return f(x); }
__attribute__((noipa)) int spread(fn f, int x) { return f(x) + 2; }
__attribute__((noipa)) int in_threads(fn f, int x) { return f(x) + 3; }
static void *worker(void *arg) {
    long sum = 0;
    for (int i = 0; i < 20000; ++i)
        sum += in_threads(pair[i & 1], i);
    return (void *)sum;
}
int main(void) {
    long sum = 0;
    for (int i = 0; i < 400; ++i)
        sum += call_through(four[i & 3], -i);
    for (int i = 0; i < 50; ++i)
        sum += tail(twice, i);
    for (int i = 0; i < 60; ++i)
        sum += spread(six[i % 6], i);
    pthread_t threads[4];
    for (int t = 0; t < 4; ++t)
        pthread_create(&threads[t], NULL, worker, NULL);
    for (int t = 0; t < 4; ++t) {
        void *part;
        pthread_join(threads[t], &part);
        sum += (long)part;
    }
    printf("%ld\n", sum);
    return 0;
}
)";

const char* const k_virtual = R"(#include <cstdio>
struct Shape { virtual int area(int) const = 0; virtual ~Shape() = default; };
struct Square : Shape { int area(int s) const override { return s * s; } };
struct Line : Shape { int area(int) const override { return 0; } };
__attribute__((noipa)) int measure(const Shape& shape, int s) { return shape.area(s) + 1; }
int main() {
    Square square;
    Line line;
    long sum = 0;
    for (int i = 0; i < 300; ++i)
        sum += measure(i % 3 ? static_cast<const Shape&>(square) : line, i);
    std::printf("%ld\n", sum);
    return 0;
}
)";

// "caller -> callee" to count, over every row of a JSON lines report.
std::map<std::string, uint64_t> edges_of(const std::string& jsonl) {
    std::map<std::string, uint64_t> edges;
    const std::regex row("\\{\"caller\"[^{}]*\\}");
    for (auto it = std::sregex_iterator(jsonl.begin(), jsonl.end(), row);
         it != std::sregex_iterator(); ++it) {
        const std::string text = it->str();
        edges[ryn_test::json_texts(text, "caller")[0] + " -> " +
              ryn_test::json_texts(text, "callee")[0]] += ryn_test::json_numbers(text, "count")[0];
    }
    return edges;
}

class IndirectTargets : public ryn_e2e::DriverTest {
protected:
    // Collects `runs` runs of `program` (with its libraries), then every
    // caller-callee edge.
    std::map<std::string, uint64_t> collect_edges(const std::string& program,
                                                  const std::string& expected_out, int runs) {
        const RunResult collected = ryn({"collect", "-M", program});
        EXPECT_EQ(collected.status, 0) << collected.err;
        EXPECT_EQ(collected.out, expected_out);
        // A collect run starts from no data; later runs of the copy add to it.
        for (int run = 1; run < runs; ++run) {
            const RunResult again = ryn_test::run_shell(
                "'" + cached_copy(std::filesystem::path(program).filename()) + "'", work.path());
            EXPECT_EQ(again.out, expected_out) << again.err;
        }
        const RunResult analysed =
            ryn({"analyze", "-M", "-a", "cc=1000", "-o", "report.txt", program});
        EXPECT_EQ(analysed.status, 0) << analysed.err;
        return edges_of(ryn_test::read_file(work / "report.txt.jsonl"));
    }

    // The instructions of `function`'s annotated disassembly that start with
    // `mnemonic`.
    std::vector<std::string> disassembly_of(const std::string& program, const std::string& function,
                                            const std::string& mnemonic) {
        const RunResult analysed =
            ryn({"analyze", "-a", "dis=" + function, "-o", "dis.txt", program});
        EXPECT_EQ(analysed.status, 0) << analysed.err;
        std::vector<std::string> found =
            ryn_test::json_texts(ryn_test::read_file(work / "dis.txt.jsonl"), "instruction");
        std::erase_if(found, [&](const std::string& text) { return !text.starts_with(mnemonic); });
        return found;
    }
};

TEST_F(IndirectTargets, EachTargetCountsExactlyWhereverItLies) {
    const std::string kalnote = "'" + ryn_test::kalnote_object() + "'";
    ASSERT_TRUE(ryn_test::compile_c(k_library, work / "libtgt.so", "-O2 -shared -fPIC " + kalnote));
    const std::string program = work / "prog";
    ASSERT_TRUE(ryn_test::compile_c(
        k_program, program,
        "-O2 -pthread " + kalnote + " -L'" + work.path() + "' -ltgt -Wl,-rpath," + work.path()));
    const RunResult plain = ryn_test::run({program});
    ASSERT_EQ(plain.status, 0);

    // Two runs: the second one's counts are added to the first's.
    std::map<std::string, uint64_t> edges = collect_edges(program, plain.out, 2);
    // spread: six targets, four slots; the two that came last share <indirect>.
    const std::map<std::string, uint64_t> expected = {
        {"call_through -> inc", 200},
        {"call_through -> dbl", 200},
        {"call_through -> lib_twice", 200},
        {"call_through -> abs", 200},
        {"tail -> dbl", 100},
        {"spread -> inc", 20},
        {"spread -> dbl", 20},
        {"spread -> neg", 20},
        {"spread -> t0", 20},
        {"spread -> <indirect>", 40},
        {"in_threads -> inc", 80000},
        {"in_threads -> neg", 80000},
        {"main -> call_through", 800},
        {"worker -> in_threads", 160000},
    };
    std::erase_if(edges, [&](const auto& edge) { return !expected.contains(edge.first); });
    EXPECT_EQ(edges, expected);
    // The disassembly names where the tail jump went.
    const auto jumps = disassembly_of(program, "tail", "jmp ");
    ASSERT_EQ(jumps.size(), 1u);
    EXPECT_TRUE(jumps[0].ends_with("  ; dbl (100)")) << jumps[0];
}

TEST_F(IndirectTargets, VirtualCallsNameTheOverride) {
    const std::string program = work / "shapes";
    ryn_test::write_file(program + ".cpp", k_virtual);
    const RunResult built = ryn_test::run_shell("c++ -g -O2 -o '" + program + "' '" + program +
                                                ".cpp' '" + ryn_test::kalnote_object() + "'");
    ASSERT_EQ(built.status, 0) << built.err;
    const RunResult plain = ryn_test::run({program});
    ASSERT_EQ(plain.status, 0);

    std::map<std::string, uint64_t> edges = collect_edges(program, plain.out, 1);
    std::erase_if(edges,
                  [](const auto& edge) { return edge.first.find("measure") == std::string::npos; });
    EXPECT_EQ(edges, (std::map<std::string, uint64_t>{
                         {"main -> measure(Shape const&, int)", 300},
                         {"measure(Shape const&, int) -> Square::area(int) const", 200},
                         {"measure(Shape const&, int) -> Line::area(int) const", 100}}));
    const auto calls = disassembly_of(program, "measure", "call ");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(
        calls[0].ends_with("  ; Square::area(int) const (200), Line::area(int) const (100)"))
        << calls[0];
}

}  // namespace
