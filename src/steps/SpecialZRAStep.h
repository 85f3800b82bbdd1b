#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 1: the special-version pre-handling.
class SpecialZRAStep : public BaseStep {
public:
    SpecialZRAStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
