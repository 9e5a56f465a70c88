// Appends strings to the .comment section of an ELF file open for reading
// and writing.
#pragma once

#include <string>
#include <vector>

namespace morphel {

// Each record becomes one more NUL-terminated string at the end of .comment
// (created when missing). The section's new data, the section-name table when
// it has to grow, and the section header table are placed past the current
// end of the file; nothing that is loaded moves, so programs stay runnable.
// `path` names the file in messages.
void append_comment_records(int fd, const std::string& path,
                            const std::vector<std::string>& records);

}  // namespace morphel
