// A growable list of owned strings, kept NULL-terminated so that it serves
// unchanged as the argument vector of a spawned program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace ryn {

class ArgCache {
public:
    ArgCache() = default;
    ~ArgCache();
    ArgCache(const ArgCache&) = delete;
    ArgCache& operator=(const ArgCache&) = delete;
    ArgCache(ArgCache&& other) noexcept;
    ArgCache& operator=(ArgCache&& other) noexcept;

    void add_arg(const char* s);
    void add_arg(const std::string& s) { add_arg(s.c_str()); }
    void add_argslist(const ArgCache* other);
    const char* search_arg(const char* s) const;
    void print(FILE* stream, bool quote_comment) const;
    std::string sprint() const;
    std::string command_with_unset_ldaudit() const;

    bool empty() const { return count == 0; }
    const char* operator[](int64_t i) const { return args[i]; }
    const char* const* begin() const { return args; }
    const char* const* end() const { return args + count; }

    char** args = nullptr;  // the strings, then a null pointer; owned
    int64_t count = 0;
    int64_t capacity = 0;

private:
    void release() noexcept;
};

}  // namespace ryn
