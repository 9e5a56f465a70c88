// Reading what a probe command prints without starting a shell for it. The
// command is given twice: as a program with its environment changes, and as
// the shell text that does the same. The program is run directly; only when
// it cannot be started does the shell text run instead, so every failure
// looks exactly as it did through the shell.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace ryn {

struct ProbeCommand {
    std::vector<std::string> args;       // args[0] is a path, not searched for
    std::vector<std::string> set_env;    // "NAME=value", added or replacing
    std::vector<std::string> unset_env;  // names removed
    bool merge_stderr = false;           // the program's standard error too
    std::string shell_text;              // the same command for /bin/sh -c
};

// Like a stream from popen(shell_text, "r").
class CommandOutput {
public:
    explicit CommandOutput(const ProbeCommand& command);
    CommandOutput(const CommandOutput&) = delete;
    CommandOutput& operator=(const CommandOutput&) = delete;
    ~CommandOutput() { close(); }

    // Null when the command could not be started (errno says why).
    FILE* get() const { return stream_; }
    explicit operator bool() const { return stream_ != nullptr; }
    // Closes the stream and waits for the command: its wait status, or -1
    // (as pclose) when it cannot be had, e.g. because a handler reaped it.
    int close();

private:
    FILE* stream_ = nullptr;
    pid_t pid_ = -1;
};

// The environment the shell would hand a program it starts: the driver's
// with the changes applied, and PWD set the way the shell sets it.
std::vector<std::string> probe_environment(const ProbeCommand& command);

}  // namespace ryn
