// Reads the code facts of an ELF file with libelf and libdw.
#pragma once

#include <elfutils/libdw.h>

#include <string>

#include "code_facts.h"
#include "driver/ryn_util/elf_handle.h"
#include "driver/ryn_util/unique_fd.h"

namespace morphel {

// Keeps the file mapped for as long as the facts borrow its bytes.
class CodeReader {
public:
    explicit CodeReader(const std::string& path);
    CodeReader(const CodeReader&) = delete;
    CodeReader& operator=(const CodeReader&) = delete;

    const CodeFacts& facts() const { return facts_; }

private:
    void read_sections_and_functions();
    void read_lines();
    void add_dwarf_functions(Dwarf_Die* scope);

    std::string path_;
    ryn::UniqueFd fd_;
    ryn::ElfHandle elf_;
    CodeFacts facts_;
};

}  // namespace morphel
