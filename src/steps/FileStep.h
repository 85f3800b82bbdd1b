#pragma once
#include <string>

#include "steps/BaseStep.h"

// Step 6: the deletion of the agent's files.
class FileStep : public BaseStep {
public:
    FileStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
};
