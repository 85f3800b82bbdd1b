#include "run/EntryFlow.h"
#include "run/TimingReport.h"

int wmain(int argc, wchar_t* argv[])
{
    const long long start = ReadCostClock();
    const int exitCode = RunEntry(argc, argv);
    AppendTimingReportIfRequested(argc, argv, exitCode, start);
    return exitCode;
}
