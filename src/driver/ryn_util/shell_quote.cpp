#include <string>
#include <string_view>

#include "ryn/exec_util.h"

namespace ryn {

namespace {

bool is_shell_safe(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    switch (c) {
    case '_':
    case '.':
    case '/':
    case ',':
    case '+':
    case '-':
    case '=':
    case ':':
    case '@':
    case '%': return true;
    default: return false;
    }
}

}  // namespace

// Ordinary paths stay exactly as they are, so commands echoed in messages look
// the same as before; anything else can no longer split the command.
std::string shell_quote(std::string_view path) {
    bool plain = true;
    for (const char c : path) {
        plain = plain && is_shell_safe(c);
    }
    if (plain) {
        return std::string(path);
    }
    std::string quoted = "'";
    for (const char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace ryn
