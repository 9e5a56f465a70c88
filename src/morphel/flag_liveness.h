// Whether a counter update may clobber the arithmetic flags: only where the
// code that runs next defines them all before it reads any.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>

#include "code_facts.h"

namespace morphel {

class FlagLiveness {
public:
    explicit FlagLiveness(const CodeFacts& facts);
    // Whether OF SF ZF AF PF may be read before they are all written when
    // the original code runs on from `addr`. Any doubt (a branch, a call,
    // the end of the function, code that does not decode) means live.
    bool live_at(uint64_t addr) const;

private:
    const CodeFacts& facts_;
    ZydisDecoder decoder_;
};

}  // namespace morphel
