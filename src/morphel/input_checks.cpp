#include "input_checks.h"

#include <fcntl.h>
#include <libelf.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>

#include "driver/ryn_driver/ryninfo_records.h"
#include "driver/ryn_util/elf_handle.h"
#include "driver/ryn_util/unique_fd.h"
#include "engine_error.h"

using ryn::k_ryninfo_records;

namespace morphel {
namespace {

bool is_known_record(const std::string& digits) {
    if (digits.empty() || digits.size() > 3 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int number = std::stoi(digits);
    return std::find(std::begin(k_ryninfo_records), std::end(k_ryninfo_records), number) !=
           std::end(k_ryninfo_records);
}

}  // namespace

void check_elf_input(const std::string& path) {
    const ryn::UniqueFd fd(open(path.c_str(), O_RDONLY));
    if (!fd.valid()) {
        fail_with_errno("cannot read " + path, errno);
    }
    elf_version(EV_CURRENT);
    const ryn::ElfHandle elf(elf_begin(fd.get(), ELF_C_READ, nullptr));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) {
        throw EngineError("not an ELF file: " + path);
    }
}

void check_named_files(const EngineRequest& request) {
    for (const auto& [option, path] : request.named_paths) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            fail_with_errno(option + " names " + path, errno);
        }
    }
    if (request.ryninfo) {
        check_ryninfo_file(*request.ryninfo);
    }
}

void check_ryninfo_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail_with_errno("cannot read run-information file " + path, errno);
    }
    std::string line;
    int line_number = 0;
    while (std::getline(in, line)) {
        ++line_number;
        const size_t blank = line.find(' ');
        if (blank == std::string::npos || !is_known_record(line.substr(0, blank))) {
            throw EngineError("bad run-information record at " + path + ":" +
                              std::to_string(line_number) + ": " + line);
        }
    }
}

}  // namespace morphel
