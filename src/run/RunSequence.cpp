#include "run/RunSequence.h"

#include "logs/Log.h"
#include "logs/PreviewReport.h"
#include "run/Guards.h"
#include "steps/Reboot.h"

int RunSequence(RunOptions options)
{
    return RunSequence(options, CleanUpProcess::StepFactory());
}

int RunSequence(RunOptions options, const CleanUpProcess::StepFactory& stepFactory)
{
    if (options.preview)
        StartPreviewReport(options.silent);
    CDebugLog& log = GetDebugLog();
    if (IsOneToolInstance(log, options))
        return ToolInstanceExitCode;
    if (IsOneMetaInstallerInstance(log, options))
        return MetaInstallerBusyExitCode;
    if (IsOneMSIInstance(log, options))
        return WindowsInstallerBusyExitCode;

    if (options.unattended)
        Utils::UnattendedParamRun(options);

    CleanUpProcess process(options, stepFactory);
    if (!process.BeforeRun())
        return options.restartExitCode;
    const int exitCode = process.Run();
    if (exitCode == 0)
        process.Finish();
    return exitCode;
}
