// Owning wrappers for reading an ELF file with libelf.
#pragma once

#include <libelf.h>

#include <utility>

#include "driver/ryn_util/unique_fd.h"

namespace ryn {

// An Elf* from elf_begin. end() reports elf_end's result, which callers check
// for activations left open; the destructor only makes sure nothing leaks.
class ElfHandle {
public:
    explicit ElfHandle(Elf* elf = nullptr) noexcept : elf_(elf) {}
    ElfHandle(ElfHandle&& o) noexcept : elf_(std::exchange(o.elf_, nullptr)) {}
    ElfHandle& operator=(ElfHandle&& o) noexcept {
        end();
        elf_ = std::exchange(o.elf_, nullptr);
        return *this;
    }
    ElfHandle(const ElfHandle&) = delete;
    ElfHandle& operator=(const ElfHandle&) = delete;
    ~ElfHandle() { end(); }

    Elf* get() const noexcept { return elf_; }
    explicit operator bool() const noexcept { return elf_ != nullptr; }
    int end() noexcept { return elf_ ? elf_end(std::exchange(elf_, nullptr)) : 0; }

private:
    Elf* elf_;
};

// A regular file opened read-only and handed to libelf for reading. Either
// part may be missing when opening failed; errno_ keeps the reason.
class ElfFile {
public:
    // Opens `path` (defined in elf_sections.cpp); check fd_valid() and
    // elf_valid() to learn which step failed.
    explicit ElfFile(const char* path);

    bool fd_valid() const noexcept { return fd_.valid(); }
    // Not opened because the path names no regular file.
    bool not_regular() const noexcept { return not_regular_; }
    bool elf_valid() const noexcept { return static_cast<bool>(elf_); }
    int open_errno() const noexcept { return open_errno_; }
    Elf* elf() const noexcept { return elf_.get(); }

    // Ends the ELF descriptor and closes the file; returns elf_end's result.
    // Safe to call more than once.
    int close() noexcept {
        const int remaining = elf_.end();
        fd_.reset();
        return remaining;
    }

private:
    UniqueFd fd_;
    ElfHandle elf_;
    int open_errno_ = 0;
    bool not_regular_ = false;
};

}  // namespace ryn
