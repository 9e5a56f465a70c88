// The engine: its copies stay runnable, keep their permissions and end their
// .comment with the version and argument records, run after run; their
// dynamic section says what the engine was asked: its own auditor (loaded
// with no environment variable, and not needed to run), libraries put first
// among the needed ones, a run path whose $ORIGIN names the original's
// directory; a coverage copy of a program brings the runtime along by
// itself. What it cannot work with it refuses with one clear line on
// standard error, status 2 and no output file.
#include <elf.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_support.h"
#include "support/probe_table_reader.h"

using namespace ryn_test;
using Strings = std::vector<std::string>;

namespace {

// The last n strings of .comment, as readelf shows them.
Strings last_comments(const std::string& path, size_t n) {
    const std::string dump = run({"readelf", "-p", ".comment", path}).out;
    Strings strings;
    for (size_t at = 0; (at = dump.find("  [", at)) != std::string::npos;) {
        const size_t text = dump.find("]  ", at) + 3;
        at = dump.find('\n', text);
        strings.push_back(dump.substr(text, at - text));
    }
    return Strings(strings.end() - std::min(n, strings.size()), strings.end());
}

TEST(MorphelOutput, CopiesStillRunAndEachRunAppendsBothRecords) {
    TempDir dir;
    // A PIE with the compiler's .comment, and an ET_EXEC without any.
    for (const std::string flags : {"", "-no-pie"}) {
        SCOPED_TRACE("flags: " + flags);
        const std::string prog = dir / ("prog" + flags);
        ASSERT_TRUE(compile_c(hello_source("42"), prog, flags));
        if (!flags.empty()) {
            ASSERT_EQ(run({"objcopy", "--remove-section", ".comment", prog}).status, 0);
        }
        chmod(prog.c_str(), 0750);
        const RunResult first =
            run_morphel({"-ryn", "-comment=instrumentation args: -ryn", "-o", prog + ".1", prog});
        ASSERT_EQ(first.status, 0) << first.err;
        EXPECT_EQ(first.out + first.err, "");
        EXPECT_EQ(run({prog + ".1"}).out, "42\n");
        struct stat st {};
        EXPECT_EQ(stat((prog + ".1").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0750u);
        EXPECT_EQ(last_comments(prog + ".1", 2),
                  (Strings{"ryn: morphel 1.0", "instrumentation args: -ryn"}));

        ASSERT_EQ(run_morphel({"-ped", "-comment=again", "-o", prog + ".2", prog + ".1"}).status,
                  0);
        EXPECT_EQ(run({prog + ".2"}).out, "42\n");
        // Without a .comment to begin with, the records are all there is.
        EXPECT_EQ(last_comments(prog + ".2", flags.empty() ? 4 : 100),
                  (Strings{"ryn: morphel 1.0", "instrumentation args: -ryn", "memvex: morphel 1.0",
                           "again"}));
    }
}

TEST(MorphelRejects, UnusableInputOrCommandLine) {
    TempDir dir;
    const std::string prog = dir / "prog";
    const std::string out = dir / "out/copy";
    const std::string info = dir / "info";
    ASSERT_TRUE(compile_c(hello_source("x"), prog));
    ASSERT_EQ(run({"mkdir", dir / "out"}).status, 0);
    write_file(dir / "text", "not a program\n");
    // Checks the failure contract and returns what the engine said.
    const auto failure = [&](const Strings& args) {
        const RunResult result = run_morphel(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
        return result.err;
    };

    const std::pair<Strings, std::string> refusals[] = {
        {{"-ryn", "-o", out, dir / "missing"},
         "cannot read " + (dir / "missing") + ": No such file or directory"},
        {{"-ryn", "-o", out, dir / "text"}, "not an ELF file: " + (dir / "text")},
        {{"-ryn", "-checkfile=" + (dir / "absent"), "-o", out, prog},
         "-checkfile= names " + (dir / "absent") + ": No such file or directory"},
        {{"-ryn", "-o", out, prog, "-v"}, "the input file must be the last argument: " + prog},
        {{"-ryn", prog, "-o"}, "-o must be followed by the output path"},
        // What an analysis without recorded data passes: no output, no data.
        {{"-ryn", "-bbc", "-error_not_optimizable=on", prog},
         "neither an output file (-o OUTPUT) nor recorded data to analyse "
         "(-xkalfix=use:LOCATION) given"},
    };
    for (const auto& [args, message] : refusals) {
        EXPECT_EQ(failure(args), "morphel: error: " + message + "\n");
    }
    for (const std::string bad : {"1 ryn\n4 unknown record\n", "1 ryn\n3\n", "one ryn\n"}) {
        write_file(info, bad);
        EXPECT_NE(failure({"-ryn", "-ryninfo=" + info, "-o", out, prog})
                      .find("bad run-information record"),
                  std::string::npos)
            << bad;
    }
}

// The values of one dynamic tag, in table order, as readelf shows them.
Strings dynamic_values(const std::string& path, const std::string& tag) {
    Strings values;
    const std::string dump = run({"readelf", "-dW", path}).out;
    for (size_t at = 0; (at = dump.find("(" + tag + ")", at)) != std::string::npos;) {
        const size_t open = dump.find('[', at);
        const size_t close = dump.find(']', open);
        values.push_back(dump.substr(open + 1, close - open - 1));
        at = close;
    }
    return values;
}

std::string auditor_source(const std::string& word) {
    return "#define _GNU_SOURCE\n#include <link.h>\n#include <unistd.h>\n"
           "unsigned int la_version(unsigned int v) { (void)v; write(2, \"" +
           word + "\\n\", " + std::to_string(word.size() + 1) + "); return LAV_CURRENT; }\n";
}

TEST(MorphelDynamic, TheNamedAuditorLoadsWithoutEnvironmentAndReplacesAnEarlierOne) {
    TempDir dir;
    const std::string prog = dir / "prog";
    ASSERT_TRUE(compile_c(hello_source("hello"), prog));
    for (const std::string word : {"first", "second"}) {
        ASSERT_TRUE(
            compile_c(auditor_source(word), dir / ("aud_" + word + ".so"), "-shared -fPIC"));
    }
    ASSERT_EQ(
        run_morphel({"-ryn", "-add_depaudit=" + (dir / "aud_first.so"), "-o", dir / "one", prog})
            .status,
        0);
    EXPECT_EQ(dynamic_values(dir / "one", "DEPAUDIT"), Strings{dir / "aud_first.so"});
    const RunResult first = run({dir / "one"}, {"LD_AUDIT="});
    EXPECT_EQ(first.out + first.err, "hello\nfirst\n");
    // The editor moved the dynamic section and the notes; the symbols that
    // named them must follow, or the copy is no longer a valid file.
    const RunResult lint = run({"eu-elflint", "--gnu-ld", dir / "one"});
    EXPECT_EQ(lint.status, 0) << lint.out;

    // Instrumenting a copy again leaves one auditor: the one asked for now.
    const std::string second_auditor = "-add_depaudit=" + (dir / "aud_second.so");
    ASSERT_EQ(run_morphel({"-ryn", second_auditor, "-o", dir / "two", dir / "one"}).status, 0);
    EXPECT_EQ(dynamic_values(dir / "two", "DEPAUDIT"), Strings{dir / "aud_second.so"});
    const RunResult second = run({dir / "two"});
    EXPECT_EQ(second.out + second.err, "hello\nsecond\n");

    // A copy whose auditor no longer exists still runs to completion.
    ASSERT_EQ(run({"rm", dir / "aud_second.so"}).status, 0);
    EXPECT_EQ(run({dir / "two"}).out, "hello\n");
}

TEST(MorphelDynamic, PrependedLibrariesComeFirstAndOriginBecomesTheOriginalsDirectory) {
    TempDir dir;
    ASSERT_EQ(run({"mkdir", dir / "lib", dir / "cache"}).status, 0);
    for (const std::string name : {"q", "r", "s"}) {
        ASSERT_TRUE(compile_c("int " + name + "_value(void) { return 7; }\n",
                              dir / ("lib/lib" + name + ".so"), "-shared -fPIC"));
    }
    const std::string main_source =
        "#include <stdio.h>\nint q_value(void);\n"
        "int main(void) { printf(\"%d\\n\", q_value()); return 0; }\n";
    const std::string origin = "-replace_origin=" + dir.path();
    // DT_RUNPATH by default; DT_RPATH with the old tags, which must stay
    // DT_RPATH since it also reaches the libraries' own dependencies.
    for (const auto& [tag, flags] : {std::pair<std::string, std::string>{"RUNPATH", ""},
                                     {"RPATH", " -Wl,--disable-new-dtags"}}) {
        SCOPED_TRACE(tag);
        const std::string prog = dir / ("prog_" + tag);
        ASSERT_TRUE(compile_c(main_source, prog,
                              "-Wl,--no-as-needed -lm -L" + (dir / "lib") +
                                  " -lq '-Wl,-rpath,$ORIGIN/lib:/opt/${ORIGIN}x'" + flags));
        const std::string copy = dir / ("cache/" + tag);
        ASSERT_EQ(run_morphel({"-ped", origin, "-prepend_dt_needed=" + (dir / "lib/libr.so"),
                               "-prepend_dt_needed=" + (dir / "lib/libs.so"), "-o", copy, prog})
                      .status,
                  0);
        EXPECT_EQ(dynamic_values(copy, tag), Strings{dir / "lib:/opt/" + dir.path() + "x"});
        EXPECT_EQ(dynamic_values(copy, "NEEDED"), (Strings{dir / "lib/libr.so", dir / "lib/libs.so",
                                                           "libm.so.6", "libq.so", "libc.so.6"}));
        EXPECT_EQ(run({copy}).out, "7\n");
    }

    // A library already needed moves to the front instead of appearing twice.
    const RunResult moved = run_morphel({"-ped", origin, "-prepend_dt_needed=libq.so", "-o",
                                         dir / "cache/moved", dir / "prog_RPATH"},
                                        dir / "lib");
    ASSERT_EQ(moved.status, 0) << moved.err;
    EXPECT_EQ(dynamic_values(dir / "cache/moved", "NEEDED"),
              (Strings{"libq.so", "libm.so.6", "libc.so.6"}));
    EXPECT_EQ(run({dir / "cache/moved"}).out, "7\n");
}

// A program and its library, each copied for coverage and for the checker.
TEST(MorphelDynamic, CopiesCarryTheirSettingsAndOnlyAProgramsCoverageCopyBringsTheRuntime) {
    TempDir dir;
    const std::string lib = dir / "libq.so";
    const std::string prog = dir / "prog";
    ASSERT_TRUE(compile_c(
        "int q_value(int x) { int s = 0; for (int i = 0; i < x; ++i) s += i % 3 ? i : -i; "
        "return s; }\n",
        lib, "-shared -fPIC -O2"));
    ASSERT_TRUE(compile_c(
        "#include <stdio.h>\nint q_value(int);\n"
        "int main(int argc, char **argv) { (void)argv; printf(\"%d\\n\", q_value(argc + 4)); "
        "return 4; }\n",
        prog, "-L" + dir.path() + " -lq"));
    const std::string info = dir / "info";
    write_file(info, "1 ryn\n21 prog\n33 child\n");
    const std::string ryndl = stage_lib("amd64/ryndl.so");
    ASSERT_EQ(run({"mkdir", dir / "copies", dir / "checked"}).status, 0);

    ASSERT_EQ(run_morphel({"-ryn", "-xkalfix=instrument:/d", "-ryninfo=" + info, "-o",
                           dir / "copies/prog", prog})
                  .status,
              0);
    EXPECT_EQ(dynamic_values(dir / "copies/prog", "DEPAUDIT"), Strings{ryndl});
    // A library's copy gets no records even when a file is passed; nor an
    // auditor, which the loader would ignore there. Without dynamic edits the
    // copy stays as valid as its input.
    ASSERT_EQ(run_morphel({"-ryn", "-xkalfix=instrument:./", "-ryninfo=" + info,
                           "-add_depaudit=" + ryndl, "-o", dir / "copies/libq.so", lib})
                  .status,
              0);
    EXPECT_EQ(dynamic_values(dir / "copies/libq.so", "DEPAUDIT"), Strings{});
    const std::optional<ProbeTable> table = read_probe_table(dir / "copies/libq.so");
    ASSERT_TRUE(table);
    EXPECT_TRUE(table->settings.starts_with("original " + lib + "\ndatadir ./\ncounting "))
        << table->settings;
    EXPECT_GE(table->probes.size(), 2u);
    const RunResult lint = run({"eu-elflint", "--gnu-ld", dir / "copies/libq.so"});
    EXPECT_EQ(lint.status, 0) << lint.out;

    // A copy instrumented again keeps one table, in the same program header.
    ASSERT_EQ(run_morphel({"-ryn", "-xkalfix=instrument:./", "-o", dir / "copies/again",
                           dir / "copies/prog"})
                  .status,
              0);
    const std::optional<ProbeTable> again = read_probe_table(dir / "copies/again");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->segment_flags, std::optional<uint32_t>(PF_R | PF_X));
    EXPECT_TRUE(again->settings.starts_with("original " + (dir / "copies/prog") +
                                            "\ndatadir ./\ncounting "))
        << again->settings;
    const auto headers = [](const std::string& path) {
        const std::string text = run({"readelf", "-lW", path}).out;
        const std::regex header("\n  (LOAD|NOTE) ");
        return std::distance(std::sregex_iterator(text.begin(), text.end(), header),
                             std::sregex_iterator());
    };
    EXPECT_EQ(headers(dir / "copies/again"), headers(dir / "copies/prog"));
    const RunResult original = run({prog}, {"LD_LIBRARY_PATH=" + dir.path()});
    EXPECT_EQ(run({dir / "copies/again"}, {"LD_LIBRARY_PATH=" + (dir / "copies")}, dir.path()).out,
              original.out);

    // The checker's copies: no probes and no auditor of ours; the main
    // program keeps every record in order and what it asked of the checker.
    const std::string check = dir / "check";
    write_file(check, "");
    const std::string runtime = stage_lib("amd64/libmemvex.so");
    const RunResult main_run =
        run_morphel({"-ped", "-race_detection", "-xkalfix=instrument",
                     "-prepend_dt_needed=" + runtime, "-ryninfo=" + info, "-memvex_full_lib_instr",
                     "-o", dir / "checked/prog", prog, "-checkfile=" + check});
    ASSERT_EQ(main_run.status, 0) << main_run.err;
    const std::optional<ProbeTable> checked = read_probe_table(dir / "checked/prog");
    ASSERT_TRUE(checked);
    EXPECT_EQ(checked->header.probe_count, 0u);
    EXPECT_EQ(checked->segment_flags, std::optional<uint32_t>(PF_R));
    EXPECT_EQ(checked->settings, "original " + prog +
                                     "\nryninfo 1 ryn\nryninfo 21 prog\nryninfo 33 child\n"
                                     "checker full\ncheckfile " +
                                     check + "\nrace 1\n");
    EXPECT_EQ(dynamic_values(dir / "checked/prog", "NEEDED"),
              (Strings{runtime, "libq.so", "libc.so.6"}));
    EXPECT_EQ(dynamic_values(dir / "checked/prog", "DEPAUDIT"), Strings{});

    // The code is the original's: the copies run exactly as the originals.
    const RunResult copied = run({dir / "checked/prog"}, {"LD_LIBRARY_PATH=" + dir.path()});
    EXPECT_EQ(copied.out + copied.err, original.out + original.err);
    EXPECT_EQ(copied.status, 4);
    const auto code_of = [](const std::string& path) {
        const std::string dump = run({"objdump", "-d", path}).out;
        return dump.substr(dump.find("Disassembly"));
    };
    EXPECT_EQ(code_of(dir / "checked/prog"), code_of(prog));
}

}  // namespace
