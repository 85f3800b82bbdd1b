#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 7: disabling and removing the agent's drivers.
class DriverStep : public BaseStep {
public:
    DriverStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
