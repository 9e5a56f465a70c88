// Steps shared by the phases that hand targets to the engine or the
// experiment tool.
#pragma once

namespace ryn {

class ArgCache;
class ExecUtil;
struct RunState;
struct RynOptions;
class Target;

// Puts the uninstrumented file of `t` back when the run works in place, so
// that the consumer reads the original. Returns false when the file cannot
// be written and `t` must be left out.
bool put_back_original(ExecUtil& util, Target* t);

// Appends the configuration files' lists of functions to leave alone
// ("-blacklist=", "-blacklist_pfx="), when configuration files are read.
void add_rc_function_lists(const RynOptions& opts, const RunState& state, ArgCache& command);

}  // namespace ryn
