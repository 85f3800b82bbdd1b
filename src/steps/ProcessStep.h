#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 4: the termination of the agent's processes.
class ProcessStep : public BaseStep {
public:
    ProcessStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
