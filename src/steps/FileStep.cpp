#include "steps/FileStep.h"

FileStep::FileStep(int number, const std::string& name)
    : BaseStep(name, number)
{
}

void FileStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([] {
        // Nothing is removed by this step yet; it finishes with status 0.
    });
}
