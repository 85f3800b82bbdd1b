#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 2: the uninstall through the agent's meta-installer.
class MetaInstallerStep : public BaseStep {
public:
    MetaInstallerStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
