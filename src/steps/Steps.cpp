#include "steps/Steps.h"

#include "steps/DriverStep.h"
#include "steps/FileStep.h"
#include "steps/MSIStep.h"
#include "steps/MetaInstallerStep.h"
#include "steps/ProcessStep.h"
#include "steps/RegistryStep.h"
#include "steps/ServiceStep.h"
#include "steps/SpecialZRAStep.h"

const char* GetCleanupStepName(int number)
{
    static const char* const names[BaseStep::TotalSteps] = {
        "Pre handling special version ZRA ...",
        "Uninstalling ZRA using Halvora Meta-Installer...",
        "Uninstalling ZRA using Windows Installer...",
        "Terminating ZRA processes...",
        "Removing ZRA services...",
        "Deleting ZRA files...",
        "Disabling and removing ZRA drivers...",
        "Removing ZRA Registry entries...",
    };
    if (number < 1 || number > BaseStep::TotalSteps)
        return "";
    return names[number - 1];
}

std::unique_ptr<BaseStep> CreateCleanupStep(int number)
{
    const std::string name = GetCleanupStepName(number);
    switch (number) {
    case 1: return std::unique_ptr<BaseStep>(new SpecialZRAStep(number, name));
    case 2: return std::unique_ptr<BaseStep>(new MetaInstallerStep(number, name));
    case 3: return std::unique_ptr<BaseStep>(new MSIStep(number, name));
    case 4: return std::unique_ptr<BaseStep>(new ProcessStep(number, name));
    case 5: return std::unique_ptr<BaseStep>(new ServiceStep(number, name));
    case 6: return std::unique_ptr<BaseStep>(new FileStep(number, name));
    case 7: return std::unique_ptr<BaseStep>(new DriverStep(number, name));
    case 8: return std::unique_ptr<BaseStep>(new RegistryStep(number, name));
    default: return std::unique_ptr<BaseStep>();
    }
}

std::vector<std::unique_ptr<BaseStep>> CreateCleanupSteps(int fromStep)
{
    std::vector<std::unique_ptr<BaseStep>> steps;
    for (int number = 1; number <= BaseStep::TotalSteps; ++number) {
        if (number >= fromStep)
            steps.push_back(CreateCleanupStep(number));
    }
    return steps;
}
