// Records that the rewriting engine leaves in ".comment": every string from a
// known label to the end of its string.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/ryn_util/elf_sections.h"
#include "ryn/exec_util.h"

namespace ryn {

std::unique_ptr<ArgCache> instrumentation_records(const std::vector<char>& comment) {
    static constexpr std::string_view k_labels[] = {
        "ryn:", "instrumentation args: ", "kalfix:", "memvex:"};
    auto records = std::make_unique<ArgCache>();
    const size_t size = comment.size();
    // Walking backwards from the byte before the final NUL puts the newest
    // record (the engine appends) first; readers of record 0 rely on that.
    // Every offset is tried, not only string starts.
    for (size_t i = size < 2 ? 0 : size - 1; i-- > 0;) {
        const char* start = comment.data() + i;
        const std::string_view text(start, strnlen(start, size - i));
        for (const std::string_view label : k_labels) {
            const size_t at = text.find(label);
            if (at != std::string_view::npos) {
                records->add_arg(std::string(text.substr(at)));
                break;
            }
        }
    }
    return records;
}

std::unique_ptr<ArgCache> ExecUtil::ryn_comments(const char* path) {
    std::vector<char> comment;
    extract_section_from_elf(path, ".comment", &comment, nullptr);
    return ryn::instrumentation_records(comment);
}

}  // namespace ryn
