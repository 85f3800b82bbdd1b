#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 3: the uninstall of the agent's Windows Installer products.
class MSIStep : public BaseStep {
public:
    MSIStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
