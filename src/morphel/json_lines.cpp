#include "json_lines.h"

#include <cstdio>

namespace morphel {

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

void JsonObject::key(std::string_view name) {
    if (!members_.empty()) {
        members_ += ',';
    }
    members_ += json_string(name);
    members_ += ':';
}

JsonObject& JsonObject::text(std::string_view name, std::string_view value) {
    key(name);
    members_ += json_string(value);
    return *this;
}

JsonObject& JsonObject::number(std::string_view name, uint64_t value) {
    key(name);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::ratio(std::string_view name, uint64_t part, uint64_t whole) {
    key(name);
    if (whole == 0) {
        members_ += "null";
        return *this;
    }
    char value[32];
    snprintf(value, sizeof value, "%.6g", static_cast<double>(part) / static_cast<double>(whole));
    members_ += value;
    return *this;
}

JsonObject& JsonObject::raw(std::string_view name, std::string_view json) {
    key(name);
    members_ += json;
    return *this;
}

std::string json_array(const std::vector<std::string>& rows) {
    std::string out = "[";
    for (size_t i = 0; i < rows.size(); ++i) {
        out += i ? "," : "";
        out += rows[i];
    }
    return out + "]";
}

}  // namespace morphel
