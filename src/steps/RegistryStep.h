#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 8: the removal of the agent's registry entries.
class RegistryStep : public BaseStep {
public:
    RegistryStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
