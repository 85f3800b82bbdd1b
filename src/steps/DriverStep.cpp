#include "steps/DriverStep.h"

DriverStep::DriverStep(int number, const std::string& name)
    : BaseStep(name, number)
{
}

void DriverStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([] {
        // Nothing is removed by this step yet; it finishes with status 0.
    });
}
