#include "steps/MetaInstallerStep.h"

MetaInstallerStep::MetaInstallerStep(int number, const std::string& name)
    : BaseStep(name, number)
{
}

void MetaInstallerStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([] {
        // Nothing is removed by this step yet; it finishes with status 0.
    });
}
