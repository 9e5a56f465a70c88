// The machine-readable form of the analyses: one JSON object a line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morphel {

// The text as a JSON string, quotes included. Bytes that are not valid
// UTF-8 are kept as they are: paths and symbols are taken as given.
std::string json_string(std::string_view text);

// An object built one member at a time, in the order added.
class JsonObject {
public:
    JsonObject& text(std::string_view key, std::string_view value);
    JsonObject& number(std::string_view key, uint64_t value);
    // A share or ratio; null when there is nothing to divide.
    JsonObject& ratio(std::string_view key, uint64_t part, uint64_t whole);
    // `json` is already JSON (an array of rows, say).
    JsonObject& raw(std::string_view key, std::string_view json);
    std::string str() const { return "{" + members_ + "}"; }

private:
    void key(std::string_view name);
    std::string members_;
};

// "[row,row,...]"
std::string json_array(const std::vector<std::string>& rows);

}  // namespace morphel
