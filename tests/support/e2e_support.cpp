#include "support/e2e_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"

using namespace ryn;

namespace fs = std::filesystem;

namespace ryn_e2e {

std::string Call::with_prefix(const std::string& prefix) const {
    const auto it =
        std::ranges::find_if(args, [&](const auto& arg) { return arg.starts_with(prefix); });
    return it == args.end() ? "" : *it;
}

InstallCopy::InstallCopy() {
    const auto result =
        ryn_test::run({"/bin/cp", "-a", ryn_test::stage_dir() + "/.", prefix() + "/"});
    EXPECT_EQ(result.status, 0) << "copying the staged tree: " << result.err;
}

std::string InstallCopy::log_dir(const std::string& path) const {
    return prefix() + "/calls/" + fs::path(path).filename().string();
}

void InstallCopy::wrap(const std::string& path, const std::string& behaviour) {
    const std::string real = path + ".real";
    if (!ryn_test::exists(real)) {
        ASSERT_EQ(rename(path.c_str(), real.c_str()), 0) << path;
    }
    fs::create_directories(log_dir(path));
    // Each call goes to a file of its own, named by the time of the call, so
    // that concurrent drivers never interleave their records.
    ryn_test::write_file(path,
                         "#!/bin/sh\n{\n"
                         "  for a in \"$@\"; do printf 'A %s\\n' \"$a\"; done\n"
                         "  for a in \"$@\"; do case \"$a\" in -comment=*) ;; -*=/*)\n"
                         "    [ -e \"${a#*=}\" ] || printf 'M %s\\n' \"${a#*=}\";; esac; done\n"
                         "  printf 'L %s\\n' \"$(ulimit -s)\"\n} > " +
                             shell_quote(log_dir(path)) + "/$(date +%s%N).$$\n" + behaviour +
                             "\nexec " + shell_quote(real) + " \"$@\"\n");
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

std::vector<Call> InstallCopy::calls(const std::string& path) const {
    // Named by the time of the call.
    const std::set<fs::path> logs(fs::directory_iterator(log_dir(path)), fs::directory_iterator{});
    std::vector<Call> result;
    for (const fs::path& log : logs) {
        Call& call = result.emplace_back();
        std::istringstream lines(ryn_test::read_file(log));
        for (std::string line; std::getline(lines, line);) {
            const std::string value = line.substr(2);
            switch (line[0]) {
            case 'A': call.args.push_back(value); break;
            case 'M': call.missing_paths.push_back(value); break;
            default: call.stack_limit = value;
            }
        }
    }
    return result;
}

std::vector<Call> InstallCopy::engine_runs() const {
    std::vector<Call> runs = calls(engine());
    std::erase_if(runs, [](const Call& call) { return std::ranges::count(call.args, "-V") > 0; });
    return runs;
}

void InstallCopy::clear_calls(const std::string& path) const {
    fs::remove_all(log_dir(path));
    fs::create_directories(log_dir(path));
}

Fixture build_fixture(const std::string& dir, const std::string& program_name,
                      const std::vector<std::string>& lib_names) {
    fs::create_directories(dir);
    Fixture fixture{dir, dir + "/" + program_name, {}};
    std::string declarations;
    std::string sum = "0";
    std::string link_flags = "'" + ryn_test::kalnote_object() + "' -Wl,-rpath," + dir;
    for (size_t i = 0; i < lib_names.size(); ++i) {
        const std::string function = "user_value_" + std::to_string(i);
        fixture.libs.push_back(dir + "/" + lib_names[i]);
        ryn_test::compile_c(std::string(ryn_test::k_annotate_asm) + "int " + function +
                                "(void) { return " + std::to_string(i + 1) + "; }\n",
                            fixture.libs.back(), "-shared -fPIC");
        declarations += "int " + function + "(void);\n";
        sum += " + " + function + "()";
        link_flags += " '" + fixture.libs.back() + "'";
    }
    const std::string main_source =
        std::string(ryn_test::k_annotate_asm) + "#include <stdio.h>\n" + declarations +
        "int main(int argc, char** argv) {\n    puts(\"hello\");\n"
        "    for (int i = 1; i < argc; ++i) printf(\"arg:%s\\n\", argv[i]);\n"
        "    printf(\"sum:%d\\n\", " +
        sum + ");\n    fputs(\"err:hello\\n\", stderr);\n    return 0;\n}\n";
    ryn_test::compile_c(main_source, fixture.program, link_flags);
    return fixture;
}

std::string library_walked_before(const std::string& dir, const std::string& program) {
    // The bucket of the driver's target table while a run has at most 13
    // targets; targets are walked in ascending bucket order, the most
    // recently added first within one bucket.
    const auto bucket = [](const std::string& path) {
        return RynCache::encodeString(path.c_str()) % 13;
    };
    for (int i = 1;; ++i) {
        const std::string name = "libuser" + std::to_string(i) + ".so";
        if (bucket(dir + "/" + name) <= bucket(dir + "/" + program)) {
            return name;
        }
    }
}

std::vector<std::string> hermetic_env(const std::string& work) {
    fs::create_directories(work + "/home");
    fs::create_directories(work + "/tmp");
    return {"QVEN_RYN_CACHE_DIR=" + work + "/cache", "HOME=" + work + "/home",
            "TMPDIR=" + work + "/tmp"};
}

::testing::AssertionResult holds(const std::string& text, const std::string& part) {
    const bool found = text.find(part) != std::string::npos;
    return (found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "\"" << part << (found ? "\" is in:\n" : "\" is not in:\n") << text;
}

std::vector<std::string> files_ending_in(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (fs::recursive_directory_iterator it(dir, ignored), end; it != end; it.increment(ignored)) {
        if (it->path().string().ends_with(suffix)) {
            found.push_back(it->path().string());
        }
    }
    std::ranges::sort(found);
    return found;
}

DriverTest::DriverTest() : env(hermetic_env(work.path())) { install.wrap(install.engine()); }

ryn_test::RunResult DriverTest::run_front_end(const std::string& front_end,
                                              std::vector<std::string> args,
                                              const std::vector<std::string>& extra_env) {
    args.insert(args.begin(), install.bin(front_end));
    args.insert(args.begin(), launch_prefix.begin(), launch_prefix.end());
    std::vector<std::string> run_env = env;
    run_env.insert(run_env.end(), extra_env.begin(), extra_env.end());
    install.clear_calls(install.engine());
    return ryn_test::run(args, run_env, work.path());
}

std::string DriverTest::cached_copy(const std::string& name) {
    const auto copies = files_ending_in(work / "cache", "/" + name);
    EXPECT_EQ(copies.size(), 1u) << name;
    return copies.empty() ? "" : copies[0];
}

}  // namespace ryn_e2e
