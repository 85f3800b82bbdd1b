#include "run/EntryFlow.h"
#include "run/TimingReport.h"

int wmain(int argc, wchar_t* argv[])
{
    ArmTimingReport(argc, argv);
    const int exitCode = RunEntry(argc, argv);
    SetTimingReportExitCode(exitCode);
    return exitCode;
}
