// The dynamic section of a copy says what the engine was asked: its own
// auditor (loaded with no environment variable, and not needed to run),
// libraries put first among the needed ones, a run path whose $ORIGIN names
// the original's directory; a coverage copy of a program brings the runtime
// along by itself.
#include <elf.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_support.h"
#include "support/probe_table_reader.h"

using namespace ryn_test;
using Strings = std::vector<std::string>;

namespace {

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
    EXPECT_EQ(dynamic_values(dir / "one", "NEEDED"), Strings{"libc.so.6"});
    const RunResult first = run({dir / "one"}, {"LD_AUDIT="});
    EXPECT_EQ(first.out, "hello\n");
    EXPECT_EQ(first.err, "first\n");
    EXPECT_EQ(run({prog}).err, "");
    // The editor moved the dynamic section and the notes; the symbols that
    // named them must follow, or the copy is no longer a valid file.
    EXPECT_EQ(run({"eu-elflint", "--gnu-ld", prog}).status, 0);
    const RunResult lint = run({"eu-elflint", "--gnu-ld", dir / "one"});
    EXPECT_EQ(lint.status, 0) << lint.out;

    // Instrumenting a copy again leaves one auditor: the one asked for now.
    const std::string second_auditor = "-add_depaudit=" + (dir / "aud_second.so");
    ASSERT_EQ(run_morphel({"-ryn", second_auditor, "-o", dir / "two", dir / "one"}).status, 0);
    EXPECT_EQ(dynamic_values(dir / "two", "DEPAUDIT"), Strings{dir / "aud_second.so"});
    EXPECT_EQ(dynamic_values(dir / "two", "NEEDED"), Strings{"libc.so.6"});
    const RunResult second = run({dir / "two"});
    EXPECT_EQ(second.out, "hello\n");
    EXPECT_EQ(second.err, "second\n");

    // A copy whose auditor no longer exists still runs to completion.
    ASSERT_EQ(run({"rm", dir / "aud_second.so"}).status, 0);
    const RunResult alone = run({dir / "two"});
    EXPECT_EQ(alone.out, "hello\n");
    EXPECT_EQ(alone.status, 0);
}

TEST(MorphelDynamic, PrependedLibrariesComeFirstInTheOrderGiven) {
    TempDir dir;
    for (const std::string name : {"q", "r", "s"}) {
        ASSERT_TRUE(compile_c("int " + name + "_value(void) { return 7; }\n",
                              dir / ("lib" + name + ".so"), "-shared -fPIC"));
    }
    const std::string prog = dir / "prog";
    ASSERT_TRUE(
        compile_c("#include <stdio.h>\nint q_value(void);\n"
                  "int main(void) { printf(\"%d\\n\", q_value()); return 0; }\n",
                  prog, "-Wl,--no-as-needed -lm -L" + dir.path() + " -lq"));
    ASSERT_EQ(dynamic_values(prog, "NEEDED"), (Strings{"libm.so.6", "libq.so", "libc.so.6"}));
    const Strings lib_path = {"LD_LIBRARY_PATH=" + dir.path()};

    ASSERT_EQ(run_morphel({"-ped", "-prepend_dt_needed=" + (dir / "libr.so"),
                           "-prepend_dt_needed=" + (dir / "libs.so"), "-o", dir / "two", prog})
                  .status,
              0);
    EXPECT_EQ(dynamic_values(dir / "two", "NEEDED"),
              (Strings{dir / "libr.so", dir / "libs.so", "libm.so.6", "libq.so", "libc.so.6"}));
    EXPECT_EQ(run({dir / "two"}, lib_path).out, "7\n");

    // A library already needed moves to the front instead of appearing twice.
    const RunResult moved =
        run_morphel({"-ped", "-prepend_dt_needed=libq.so", "-o", dir / "moved", prog}, dir.path());
    ASSERT_EQ(moved.status, 0) << moved.err;
    EXPECT_EQ(dynamic_values(dir / "moved", "NEEDED"),
              (Strings{"libq.so", "libm.so.6", "libc.so.6"}));
    EXPECT_EQ(run({dir / "moved"}, lib_path).out, "7\n");
}

TEST(MorphelDynamic, OriginInTheRunPathBecomesTheOriginalsDirectory) {
    TempDir dir;
    ASSERT_EQ(run({"mkdir", dir / "lib", dir / "cache"}).status, 0);
    ASSERT_TRUE(
        compile_c("int q_value(void) { return 9; }\n", dir / "lib/libq.so", "-shared -fPIC"));
    const std::string main_source =
        "#include <stdio.h>\nint q_value(void);\n"
        "int main(void) { printf(\"%d\\n\", q_value()); return 0; }\n";
    // DT_RUNPATH by default; DT_RPATH with the old tags, which must stay
    // DT_RPATH since it also reaches the libraries' own dependencies.
    for (const auto& [tag, flags] : {std::pair<std::string, std::string>{"RUNPATH", ""},
                                     {"RPATH", " -Wl,--disable-new-dtags"}}) {
        SCOPED_TRACE(tag);
        const std::string prog = dir / ("prog_" + tag);
        ASSERT_TRUE(compile_c(
            main_source, prog,
            "-L" + (dir / "lib") + " -lq '-Wl,-rpath,$ORIGIN/lib:/opt/${ORIGIN}x'" + flags));
        const std::string copy = dir / ("cache/" + tag);
        ASSERT_EQ(run_morphel({"-ryn", "-replace_origin=" + dir.path(), "-o", copy, prog}).status,
                  0);
        EXPECT_EQ(dynamic_values(copy, tag), Strings{dir / "lib:/opt/" + dir.path() + "x"});
        EXPECT_EQ(run({copy}).out, "9\n");
    }
}

TEST(MorphelDynamic, ACoverageCopyOfAProgramBringsTheRuntimeAndALibraryCopyDoesNot) {
    TempDir dir;
    const std::string lib = dir / "libq.so";
    const std::string prog = dir / "prog";
    ASSERT_TRUE(compile_c(
        "int q_value(int x) { int s = 0; for (int i = 0; i < x; ++i) s += i % 3 ? i : -i; "
        "return s; }\n",
        lib, "-shared -fPIC -O2"));
    ASSERT_TRUE(compile_c(
        "#include <stdio.h>\nint q_value(int);\n"
        "int main(int argc, char **argv) { (void)argv; printf(\"%d\\n\", q_value(argc + 4)); }\n",
        prog, "-L" + dir.path() + " -lq"));
    const std::string info = dir / "info";
    write_file(info, "1 ryn\n21 prog\n");
    const std::string ryndl = stage_lib("amd64/ryndl.so");
    ASSERT_EQ(run({"mkdir", dir / "copies"}).status, 0);
    ASSERT_EQ(run_morphel({"-ryn", "-xkalfix=instrument:/d", "-ryninfo=" + info, "-o",
                           dir / "copies/prog", prog})
                  .status,
              0);
    EXPECT_EQ(dynamic_values(dir / "copies/prog", "DEPAUDIT"), Strings{ryndl});

    // The driver passes no run-information file for a library, and a
    // library's copy gets no records even when one is passed; nor an
    // auditor, which the loader would ignore there.
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
    // Without dynamic edits the copy stays as valid as its input.
    EXPECT_EQ(run({"eu-elflint", "--gnu-ld", lib}).status, 0);
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
    const std::string headers = run({"readelf", "-lW", dir / "copies/prog"}).out;
    const std::string headers_again = run({"readelf", "-lW", dir / "copies/again"}).out;
    const auto count = [](const std::string& text, const std::string& kind) {
        const std::regex header("\n  " + kind + " ");
        return std::distance(std::sregex_iterator(text.begin(), text.end(), header),
                             std::sregex_iterator());
    };
    EXPECT_EQ(count(headers_again, "LOAD"), count(headers, "LOAD"));
    EXPECT_EQ(count(headers_again, "NOTE"), count(headers, "NOTE"));
    EXPECT_EQ(run({dir / "copies/again"}, {"LD_LIBRARY_PATH=" + (dir / "copies")}, dir.path()).out,
              run({prog}, {"LD_LIBRARY_PATH=" + dir.path()}).out);

    // The checker's copies carry no coverage probes and no auditor of ours.
    ASSERT_EQ(run_morphel({"-ped", "-xkalfix=instrument", "-o", dir / "copies/ped", prog}).status,
              0);
    const std::optional<ProbeTable> ped = read_probe_table(dir / "copies/ped");
    ASSERT_TRUE(ped);
    EXPECT_EQ(ped->header.probe_count, 0u);
    EXPECT_EQ(dynamic_values(dir / "copies/ped", "DEPAUDIT"), Strings{});
}

TEST(MorphelDynamic, CheckerCopiesRunCleanWithTheRuntimeFirstAndCarryTheirSettings) {
    TempDir dir;
    const std::string lib = dir / "libq.so";
    ASSERT_TRUE(compile_c("int q_value(int x) { return x * 5; }\n", lib, "-shared -fPIC"));
    const std::string prog = dir / "prog";
    ASSERT_TRUE(
        compile_c("#include <stdio.h>\nint q_value(int);\n"
                  "int main(void) { printf(\"%d\\n\", q_value(3)); return 4; }\n",
                  prog, "-L" + dir.path() + " -lq"));
    const std::string info = dir / "info";
    write_file(info, "1 memvex\n21 prog\n10 12\n33 child\n");
    const std::string check = dir / "check";
    write_file(check, "");
    const std::string runtime = stage_lib("amd64/libmemvex.so");
    ASSERT_EQ(run({"mkdir", dir / "copies"}).status, 0);

    // The main program: every record of the run-information file in order,
    // and what this copy asked of the checker.
    const RunResult main_run =
        run_morphel({"-ped", "-race_detection", "-xkalfix=instrument",
                     "-prepend_dt_needed=" + runtime, "-ryninfo=" + info, "-memvex_full_lib_instr",
                     "-o", dir / "copies/prog", prog, "-checkfile=" + check});
    ASSERT_EQ(main_run.status, 0) << main_run.err;
    const std::optional<ProbeTable> table = read_probe_table(dir / "copies/prog");
    ASSERT_TRUE(table);
    EXPECT_EQ(table->header.probe_count, 0u);
    EXPECT_EQ(table->segment_flags, std::optional<uint32_t>(PF_R));
    EXPECT_EQ(table->settings,
              "original " + prog +
                  "\nryninfo 1 memvex\nryninfo 21 prog\nryninfo 10 12\nryninfo 33 child\n"
                  "checker full\ncheckfile " +
                  check + "\nrace 1\n");
    EXPECT_EQ(dynamic_values(dir / "copies/prog", "NEEDED"),
              (Strings{runtime, "libq.so", "libc.so.6"}));

    // A library instrumented for writes only gets no records, even when a
    // file is passed, and no check file or race setting it was not given.
    ASSERT_EQ(run_morphel({"-ped", "-xkalfix=instrument", "-ryninfo=" + info, "-o",
                           dir / "copies/libq.so", lib})
                  .status,
              0);
    const std::optional<ProbeTable> lib_table = read_probe_table(dir / "copies/libq.so");
    ASSERT_TRUE(lib_table);
    EXPECT_EQ(lib_table->settings, "original " + lib + "\nchecker write-only\n");
    const RunResult lint = run({"eu-elflint", "--gnu-ld", dir / "copies/libq.so"});
    EXPECT_EQ(lint.status, 0) << lint.out;

    // The code is the original's: the copies run exactly as the originals.
    const RunResult original = run({prog}, {"LD_LIBRARY_PATH=" + dir.path()});
    const RunResult copied = run({dir / "copies/prog"}, {"LD_LIBRARY_PATH=" + (dir / "copies")});
    EXPECT_EQ(copied.out, original.out);
    EXPECT_EQ(copied.err, original.err);
    EXPECT_EQ(copied.status, 4);
    const auto code_of = [](const std::string& path) {
        const std::string dump = run({"objdump", "-d", path}).out;
        return dump.substr(dump.find("Disassembly"));
    };
    EXPECT_EQ(code_of(dir / "copies/libq.so"), code_of(lib));
    EXPECT_EQ(code_of(dir / "copies/prog"), code_of(prog));
}

}  // namespace
