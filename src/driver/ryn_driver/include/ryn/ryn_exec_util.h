// The driver's utility object: it knows how to put replaced targets back.
#pragma once

#include "ryn/exec_util.h"

namespace ryn {

class RynDriver;

class RynExecUtil : public ExecUtil {
public:
    RynExecUtil(const char* component, RynDriver* driver) : ExecUtil(component), driver(driver) {}

    bool replace_target_with_orig(Target* target) override;
    void restore() override;

    RynDriver* driver;  // not owned
};

}  // namespace ryn
