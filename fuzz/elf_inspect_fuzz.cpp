// ELF inspection on arbitrary file contents: the kind and class of a file,
// section copies, the instrumentation records and the target check.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ryn/exec_util.h"

using namespace ryn;

namespace {

constexpr const char* k_sections[] = {".comment",        ".symtab",   ".annotate",
                                      ".QVEN_signature", ".shstrtab", ""};

// Each question gets its own utility object: a fatal report leaves the one
// it went through marked as already ending.
void ask(const std::function<void(ExecUtil&)>& question) {
    ExecUtil util("ryn");
    ryn_fuzz::run_until_end([&] { question(util); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Inside the scratch directory, so that the target check takes its lock.
    static const std::string path = ryn_fuzz::scratch_dir() + "/target";
    ryn_fuzz::write_bytes(path, data, size);
    const char* file = path.c_str();
    // The last byte picks the settings, so the ELF header stays free to mutate.
    const unsigned choice = size > 0 ? data[size - 1] : 0;

    ask([&](ExecUtil& util) { util.is_shared_object(file, false); });
    ask([&](ExecUtil& util) { util.is_shared_object(file, true); });
    ask([&](ExecUtil& util) { util.is_64_bit_binary(file); });
    ask([&](ExecUtil& util) {
        std::vector<char> copy;
        int is64 = -1;
        const char* name = k_sections[choice % std::size(k_sections)];
        const int length = util.extract_section_from_elf(file, name, &copy, &is64);
        if (length >= 0 && static_cast<size_t>(length) != copy.size()) {
            __builtin_trap();
        }
    });
    ask([&](ExecUtil& util) { util.ryn_comments(file); });
    ask([&](ExecUtil& util) {
        util.very_verbose = (choice & 0x40) != 0;
        util.set_component((choice & 0x80) != 0 ? "zentor" : "ryn");
        bool previously = false;
        bool annotations = false;
        const MESSAGE_TYPE severity = (choice & 0x20) != 0 ? MSG_ERROR : MSG_WARNING;
        util.check_target(file,
                          {.lock_dir = ryn_fuzz::scratch_dir().c_str(),
                           .level = static_cast<int>(choice % 3),
                           .write_check = (choice & 0x04) != 0,
                           .skip_instr_check = (choice & 0x08) != 0,
                           .severity = severity,
                           .require_annotations = (choice & 0x03) == 0,
                           .previously_instrumented = (choice & 0x10) != 0 ? &previously : nullptr,
                           .has_annotations = &annotations});
    });
    return 0;
}
