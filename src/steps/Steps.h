#pragma once
#include <memory>
#include <vector>

#include "steps/BaseStep.h"

// The step table: 1 SpecialZRAStep, 2 MetaInstallerStep, 3 MSIStep,
// 4 ProcessStep, 5 ServiceStep, 6 FileStep, 7 DriverStep, 8 RegistryStep,
// each with its banner name.

// The step with this number (1 to 8); empty for any other number.
std::unique_ptr<BaseStep> CreateCleanupStep(int number);

// The steps whose number is not below fromStep, in table order (0 and 1
// give all eight, 9 and more none).
std::vector<std::unique_ptr<BaseStep>> CreateCleanupSteps(int fromStep);

// The banner name of the step with this number; empty for any other.
const char* GetCleanupStepName(int number);
