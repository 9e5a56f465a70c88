#include "support/e2e_support.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "ryn/ryn_cache.h"

namespace fs = std::filesystem;

namespace ryn_e2e {

bool Call::has(const std::string& arg) const { return index_of(arg) >= 0; }

int Call::index_of(const std::string& arg) const {
    const auto it = std::find(args.begin(), args.end(), arg);
    return it == args.end() ? -1 : static_cast<int>(it - args.begin());
}

std::string Call::with_prefix(const std::string& prefix) const {
    for (const std::string& arg : args) {
        if (arg.rfind(prefix, 0) == 0) {
            return arg;
        }
    }
    return "";
}

InstallCopy::InstallCopy() {
    const auto result =
        ryn_test::run({"/bin/cp", "-a", ryn_test::stage_dir() + "/.", prefix() + "/"});
    EXPECT_EQ(result.status, 0) << "copying the staged tree: " << result.err;
}

std::string InstallCopy::log_dir(const std::string& path) const {
    return prefix() + "/calls/" + fs::path(path).filename().string();
}

namespace {

std::string single_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

void InstallCopy::wrap(const std::string& path, const WrapperOptions& options) {
    // Wrapping again only changes the behaviour; the real program stays.
    const std::string real = path + ".real";
    if (!ryn_test::exists(real)) {
        ASSERT_EQ(rename(path.c_str(), real.c_str()), 0) << path;
    }
    const std::string logs = log_dir(path);
    fs::create_directories(logs);

    // Each call goes to a file of its own, named by the time of the call, so
    // that concurrent drivers never interleave their records.
    std::ostringstream script;
    script << "#!/bin/sh\n"
           << "log=" << single_quoted(logs) << "/$(date +%s%N).$$\n"
           << "{\n"
           << "  for a in \"$@\"; do printf 'A %s\\n' \"$a\"; done\n"
           << "  for a in \"$@\"; do\n"
           << "    case \"$a\" in -comment=*) ;; -*=/*) p=\"${a#*=}\"; [ -e \"$p\" ] || printf 'M %s\\n' \"$p\";; esac\n"
           << "  done\n"
           << "  printf 'L %s\\n' \"$(ulimit -s)\"\n"
           << "} > \"$log.part\" && mv \"$log.part\" \"$log\"\n";
    if (!options.version_line.empty()) {
        script << "for a in \"$@\"; do if [ \"$a\" = -V ]; then echo "
               << single_quoted(options.version_line) << "; exit 0; fi; done\n";
    }
    if (options.delay_seconds > 0) {
        script << "sleep " << options.delay_seconds << "\n";
    }
    if (options.exit_status >= 0) {
        script << "exit " << options.exit_status << "\n";
    }
    script << "exec " << single_quoted(real) << " \"$@\"\n";
    ryn_test::write_file(path, script.str());
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

std::vector<Call> InstallCopy::calls(const std::string& path) const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(log_dir(path), ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".part") == std::string::npos) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<Call> result;
    for (const std::string& name : names) {
        Call call;
        std::istringstream lines(ryn_test::read_file(log_dir(path) + "/" + name));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("A ", 0) == 0) {
                call.args.push_back(line.substr(2));
            } else if (line.rfind("L ", 0) == 0) {
                call.stack_limit = line.substr(2);
            } else if (line.rfind("M ", 0) == 0) {
                call.missing_paths.push_back(line.substr(2));
            }
        }
        result.push_back(std::move(call));
    }
    return result;
}

std::vector<Call> InstallCopy::engine_runs() const {
    std::vector<Call> runs;
    for (Call& call : calls(engine())) {
        if (!call.has("-V")) {
            runs.push_back(std::move(call));
        }
    }
    return runs;
}

void InstallCopy::clear_calls(const std::string& path) const {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(log_dir(path), ignored)) {
        fs::remove(entry.path(), ignored);
    }
}

Fixture build_fixture(const std::string& dir, const std::string& program_name,
                      const std::vector<std::string>& lib_names, const std::string& message) {
    Fixture fixture;
    fs::create_directories(dir);
    fixture.dir = dir;
    fixture.program = dir + "/" + program_name;
    std::string declarations;
    std::string sum = "0";
    std::string link_flags;
    for (size_t i = 0; i < lib_names.size(); ++i) {
        const std::string function = "user_value_" + std::to_string(i);
        const std::string source = std::string(ryn_test::k_annotate_asm) + "int " + function +
                                   "(void) { return " + std::to_string(i + 1) + "; }\n";
        const std::string path = dir + "/" + lib_names[i];
        ryn_test::compile_c(source, path, "-shared -fPIC");
        fixture.libs.push_back(path);
        declarations += "int " + function + "(void);\n";
        sum += " + " + function + "()";
        link_flags += " '" + path + "'";
    }
    const std::string source = std::string(ryn_test::k_annotate_asm) + "#include <stdio.h>\n" +
                               declarations +
                               "int main(int argc, char** argv) {\n"
                               "    printf(\"%s\\n\", \"" + message + "\");\n"
                               "    for (int i = 1; i < argc; ++i) printf(\"arg:%s\\n\", argv[i]);\n"
                               "    printf(\"sum:%d\\n\", " + sum + ");\n"
                               "    fprintf(stderr, \"err:%s\\n\", \"" + message + "\");\n"
                               "    return 0;\n"
                               "}\n";
    ryn_test::compile_c(source, fixture.program,
                        "'" + ryn_test::kalnote_object() + "'" + link_flags + " -Wl,-rpath," + dir);
    return fixture;
}

uint32_t walk_bucket(const std::string& path) {
    return RynCache::encodeString(path.c_str()) % 13;
}

std::vector<std::string> hermetic_env(const std::string& work) {
    fs::create_directories(work + "/home");
    fs::create_directories(work + "/tmp");
    return {"QVEN_RYN_CACHE_DIR=" + work + "/cache", "HOME=" + work + "/home",
            "TMPDIR=" + work + "/tmp"};
}

std::vector<std::string> files_ending_in(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(dir, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        const std::string path = it->path().string();
        if (path.size() >= suffix.size() &&
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
            found.push_back(path);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> comment_strings(const std::string& path) {
    std::vector<std::string> strings;
    elf_version(EV_CURRENT);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return strings;
    }
    Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
    size_t shstrndx = 0;
    if (elf && elf_getshdrstrndx(elf, &shstrndx) == 0) {
        for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
            GElf_Shdr header;
            if (!gelf_getshdr(scn, &header)) {
                continue;
            }
            const char* name = elf_strptr(elf, shstrndx, header.sh_name);
            if (!name || std::string(name) != ".comment") {
                continue;
            }
            Elf_Data* data = elf_getdata(scn, nullptr);
            if (!data || !data->d_buf) {
                continue;
            }
            const char* bytes = static_cast<const char*>(data->d_buf);
            size_t start = 0;
            for (size_t i = 0; i < data->d_size; ++i) {
                if (bytes[i] == '\0') {
                    if (i > start) {
                        strings.emplace_back(bytes + start, i - start);
                    }
                    start = i + 1;
                }
            }
        }
    }
    if (elf) {
        elf_end(elf);
    }
    close(fd);
    return strings;
}

FileImage image_of(const std::string& path) {
    FileImage image;
    image.bytes = ryn_test::read_file(path);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        image.mode = st.st_mode & 07777;
    }
    return image;
}

}  // namespace ryn_e2e
