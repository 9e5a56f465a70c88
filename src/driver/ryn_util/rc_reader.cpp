// Reading the installation, home and current-directory configuration files
// into rcData.
#include "i18n/driver_texts.h"
#include "ryn/rc_data.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>
#include <vector>

#include "driver/ryn_util/unique_file.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

constexpr const char* k_rc_name = "ryn.rc";
constexpr const char* k_user_rc_name = ".ryn.rc";
constexpr size_t k_initial_line_size = 128;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Splits a logical line into its words; the line ends at its first newline.
std::vector<std::string_view> split_words(std::string_view line) {
    line = line.substr(0, line.find('\n'));
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !is_blank(line[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

RcCommand command_of(std::string_view word) {
    if (word == "set") {
        return RcCommand::set;
    }
    if (word == "append") {
        return RcCommand::append;
    }
    if (word == "remove") {
        return RcCommand::remove;
    }
    return RcCommand::none;
}

// The first variable name (in table order) contained anywhere in `word`.
int variable_of(std::string_view word) {
    for (int i = 0; i < rcData::k_nvars; ++i) {
        if (word.find(rcData::names[i]) != std::string_view::npos) {
            return i;
        }
    }
    return -1;
}

void append_value(std::optional<std::string>& slot, std::optional<std::string_view> value) {
    if (!slot) {
        slot.emplace();
    }
    if (!value) {
        return;
    }
    if (!slot->empty() && slot->back() != ':') {
        *slot += ':';
    }
    *slot += *value;
}

// Removes the first occurrence of `value` together with one separator: the
// ':' before it, or, at the very start, the ':' after it.
void remove_value(std::optional<std::string>& slot, std::optional<std::string_view> value) {
    if (!value || !slot || value->size() > slot->size()) {
        return;
    }
    size_t pos = slot->find(*value);
    if (pos == std::string::npos) {
        return;
    }
    size_t len = value->size();
    if (pos > 0 && (*slot)[pos - 1] == ':') {
        --pos;
        ++len;
    } else if (pos == 0 && len < slot->size() && (*slot)[len] == ':') {
        ++len;
    }
    slot->erase(pos, len);
}

}  // namespace

rcData::rcData(bool memvex, const char* install_lib_dir, int verbosity, ExecUtil* util)
    : memvex(memvex), util(util) {
    bool read = false;
    if (install_lib_dir) {
        const std::string path = std::string(install_lib_dir) + "/" + k_rc_name;
        read = set_rc(path.c_str(), verbosity >= 2) || read;
    }
    if (const char* home = getenv("HOME")) {
        const std::string path = std::string(home) + "/" + k_user_rc_name;
        read = set_rc(path.c_str(), verbosity >= 1) || read;
    }
    const std::string local = std::string("./") + k_user_rc_name;
    read = set_rc(local.c_str(), verbosity >= 1) || read;
    any_file_read = read;

    if (verbosity >= 2) {
        if (!any_file_read) {
            fputs("Could not read .rc files\n", stderr);
        } else {
            dump();
        }
    }
}

std::optional<std::string> rcData::read_line(FILE* file, int* lines) {
    std::string text;
    try {
        std::vector<char> chunk(k_initial_line_size);
        text.reserve(k_initial_line_size);
        for (;;) {
            // Read one physical line, however long. Only a chunk that fgets
            // filled to its end holds part of a line: a NUL byte inside the
            // line hides its newline from the text, and must neither glue the
            // next line on nor grow the chunk once per line.
            bool got_any = false;
            chunk.back() = '\x01';
            while (fgets(chunk.data(), static_cast<int>(chunk.size()), file)) {
                got_any = true;
                text += chunk.data();
                const bool filled = chunk.back() == '\0' && chunk[chunk.size() - 2] != '\n';
                if (!filled) {
                    break;
                }
                chunk.resize(chunk.size() * 2);
                chunk.back() = '\x01';
            }
            if (!got_any && text.empty()) {
                return std::nullopt;
            }
            ++*lines;
            const size_t n = text.size();
            if (n >= 2 && text[n - 1] == '\n' && text[n - 2] == '\\') {
                text.resize(n - 2);
                continue;
            }
            return text;
        }
    } catch (const std::bad_alloc&) {
        util->fatal(1, "%s", driver_text(DriverText::RC_LINE_TOO_LONG));
    }
}

bool rcData::set_rc(const char* path, bool verbose) {
    const ryn::UniqueFile file(fopen(path, "r"));
    if (!file) {
        return false;
    }
    if (verbose) {
        util->report_error(MSG_INFO, 0, driver_text(DriverText::RC_FILE_READ), path);
    }

    int line_number = 1;
    int consumed = 0;
    for (;;) {
        line_number += consumed;
        consumed = 0;
        const std::optional<std::string> line = read_line(file.get(), &consumed);
        if (!line) {
            break;
        }
        const std::vector<std::string_view> words = split_words(*line);
        if (words.empty() || words[0].front() == '#') {
            continue;
        }

        command = command_of(words[0]);
        if (command == RcCommand::none) {
            const std::string word(words[0]);
            util->report_error(MSG_WARNING, 0, driver_text(DriverText::RC_UNKNOWN_COMMAND), path,
                               line_number, word.c_str());
            return false;
        }
        const std::string variable(words.size() > 1 ? words[1] : std::string_view());
        const int index = variable_of(variable);
        if (index < 0) {
            util->report_error(MSG_WARNING, 0, driver_text(DriverText::RC_UNKNOWN_VARIABLE), path,
                               line_number, variable.c_str());
            return false;
        }

        // RYN_ lines belong to the general front end only, MEMVEX_ lines to
        // the memory checker only; COMMON_ lines to both.
        const std::string_view v(variable);
        if ((memvex && v.starts_with("RYN")) || (!memvex && v.starts_with("MEMVEX"))) {
            continue;
        }
        std::optional<std::string>& slot =
            values[v.starts_with("COMMON") ? k_nvars + index : index];
        const std::optional<std::string_view> value =
            words.size() > 2 ? std::optional<std::string_view>(words[2]) : std::nullopt;

        switch (command) {
        case RcCommand::set: slot.emplace(value.value_or(std::string_view())); break;
        case RcCommand::append: append_value(slot, value); break;
        case RcCommand::remove: remove_value(slot, value); break;
        case RcCommand::none: break;
        }
    }
    return true;
}

}  // namespace ryn
