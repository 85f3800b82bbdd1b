#include "steps/ServiceStep.h"

ServiceStep::ServiceStep(int number, const std::string& name)
    : BaseStep(name, number)
{
}

void ServiceStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([] {
        // Nothing is removed by this step yet; it finishes with status 0.
    });
}
