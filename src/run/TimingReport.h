#pragma once
// Step timing and the timing report: a benchmark aid. Each step of a
// cleanup run records its wall time and the bookkeeping cost (text log,
// registry backup, result log; system/CostMeter.h) that accrued while it
// ran. When the environment variable ZRA_TIMING_REPORT names a file, the
// process appends its figures to that file as it ends; without the
// variable nothing is written.
//
// Report lines, tab-separated, times in seconds:
//   run      <process id>  <exit code>  <arguments>
//   step     <number>  <name>  <wall>  <text log>  <backup>  <result log>
//   process  <wall>  <text log>  <backup>  <result log>
#include <string>
#include <vector>

#include "system/CostMeter.h"

struct StepTiming {
    int number = 0;
    std::string name;  // UTF-8
    long long ticks = 0;
    CostTicks cost;
};

// Times one step from construction to destruction and adds it to the
// process's step timings, also when the step ends the run.
class StepTimer {
public:
    StepTimer(int number, const std::string& name);
    ~StepTimer();
    StepTimer(const StepTimer&) = delete;
    StepTimer& operator=(const StepTimer&) = delete;

private:
    StepTiming m_timing;
    long long m_start;
    CostTicks m_costAtStart;
};

// The steps timed so far in this process, in the order they ended.
std::vector<StepTiming> GetStepTimings();
void ClearStepTimings();

const wchar_t* const TimingReportVariable = L"ZRA_TIMING_REPORT";

// The file named by ZRA_TIMING_REPORT; empty when the variable is not set.
std::wstring GetTimingReportPath();

// The report's lines for one process (see above), each ended by CR LF.
std::string BuildTimingReport(unsigned long processId, int exitCode, const std::wstring& arguments,
                              long long processTicks, const CostTicks& processCost,
                              const std::vector<StepTiming>& steps);

// Called first thing in main: when ZRA_TIMING_REPORT is set, notes the
// start and the arguments and arranges for the report to be appended when
// the process ends, after the process-wide objects (the logs) have closed,
// so that their last writes count too. Without the variable it does
// nothing.
void ArmTimingReport(int argc, wchar_t* argv[]);
// The exit code the report gives; main sets it as it returns.
void SetTimingReportExitCode(int exitCode);

// Appends the report now: when ZRA_TIMING_REPORT is set, appends this
// process's report (arguments: the command line without the program,
// processStart: ReadCostClock() when the program started). True when the
// report was written; false when it was not asked for or could not be
// written.
bool AppendTimingReportIfRequested(int argc, wchar_t* argv[], int exitCode, long long processStart);
