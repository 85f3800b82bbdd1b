#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 5: the removal of the agent's services.
class ServiceStep : public BaseStep {
public:
    ServiceStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
