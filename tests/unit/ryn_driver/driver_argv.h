// A mutable, null-terminated argument vector as a program receives it, for
// handing command lines to the driver's parsers.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "ryn/ryn_driver.h"

class Argv {
public:
    Argv(std::initializer_list<std::string> args) : strings_(args) {
        for (std::string& s : strings_) {
            pointers_.push_back(s.data());
        }
        pointers_.push_back(nullptr);
    }
    Argv(const Argv&) = delete;
    Argv& operator=(const Argv&) = delete;

    char** get() { return pointers_.data(); }
    int argc() const { return static_cast<int>(strings_.size()); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

// Parses a general front end command line into `d`; the vector must outlive
// the parse only.
inline void parse(RynDriver& d, std::initializer_list<std::string> args) {
    Argv argv(args);
    d.process_options(argv.argc(), argv.get());
}

// The link-auditor version handed to drivers under test: a non-zero version
// keeps the test process's own signal dispositions.
constexpr int k_known_lav = 4;
