#include "steps/MSIStep.h"

MSIStep::MSIStep(int number, const std::string& name)
    : BaseStep(name, number)
{
}

void MSIStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([] {
        // Nothing is removed by this step yet; it finishes with status 0.
    });
}
