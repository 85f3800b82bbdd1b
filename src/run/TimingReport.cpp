#include "run/TimingReport.h"

#include <windows.h>

#include <cstdlib>

#include "system/Format.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

// Written by the driver's thread only.
std::vector<StepTiming>& Timings()
{
    static std::vector<StepTiming> timings;
    return timings;
}

// A field of a tab-separated line: tabs and line ends become blanks.
std::string Field(const std::string& text)
{
    std::string field = text;
    for (char& c : field) {
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    }
    return field;
}

std::string Seconds(long long ticks)
{
    return FormatNarrow("%.6f", CostTicksToSeconds(ticks));
}

std::string CostFields(const CostTicks& cost)
{
    return Seconds(cost[CostKind::TextLog]) + "\t" + Seconds(cost[CostKind::Backup]) + "\t" +
           Seconds(cost[CostKind::ResultLog]);
}

} // namespace

StepTimer::StepTimer(int number, const std::string& name)
    : m_start(ReadCostClock()), m_costAtStart(GetCostTicks())
{
    m_timing.number = number;
    m_timing.name = name;
}

StepTimer::~StepTimer()
{
    try {
        m_timing.ticks = ReadCostClock() - m_start;
        m_timing.cost = GetCostTicks().Since(m_costAtStart);
        Timings().push_back(m_timing);
    } catch (...) {
    }
}

std::vector<StepTiming> GetStepTimings()
{
    return Timings();
}

void ClearStepTimings()
{
    Timings().clear();
}

std::wstring GetTimingReportPath()
{
    const DWORD needed = GetEnvironmentVariableW(TimingReportVariable, nullptr, 0);
    if (needed == 0)
        return std::wstring();
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(TimingReportVariable, &value[0], needed);
    if (length == 0 || length >= needed)
        return std::wstring();
    value.resize(length);
    return value;
}

std::string BuildTimingReport(unsigned long processId, int exitCode, const std::wstring& arguments,
                              long long processTicks, const CostTicks& processCost,
                              const std::vector<StepTiming>& steps)
{
    std::string report = FormatNarrow("run\t%lu\t%d\t", processId, exitCode) + Field(WideToUtf8(arguments)) + "\r\n";
    for (const StepTiming& step : steps) {
        report += FormatNarrow("step\t%d\t", step.number) + Field(step.name) + "\t" + Seconds(step.ticks) + "\t" +
                  CostFields(step.cost) + "\r\n";
    }
    report += "process\t" + Seconds(processTicks) + "\t" + CostFields(processCost) + "\r\n";
    return report;
}

bool AppendTimingReportIfRequested(int argc, wchar_t* argv[], int exitCode, long long processStart)
{
    try {
        const std::wstring path = GetTimingReportPath();
        if (path.empty())
            return false;
        const long long processTicks = ReadCostClock() - processStart;
        std::wstring arguments;
        for (int i = 1; i < argc; ++i) {
            if (i > 1)
                arguments += L' ';
            arguments += argv[i] != nullptr ? argv[i] : L"";
        }
        const std::string report = BuildTimingReport(GetCurrentProcessId(), exitCode, arguments, processTicks,
                                                     GetCostTicks(), Timings());
        // Several processes of one benchmark append to the same file: each
        // writes its report in one piece at the end of the file.
        UniqueKernelHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return false;
        DWORD written = 0;
        return WriteFile(file.get(), report.data(), static_cast<DWORD>(report.size()), &written, nullptr) &&
               written == report.size();
    } catch (...) {
        return false;
    }
}

namespace {

struct ArmedReport {
    long long start = 0;
    int exitCode = 0;
    std::vector<std::wstring> arguments;
};

// Constructed before the at-exit call is registered, so destroyed after it.
ArmedReport& Armed()
{
    static ArmedReport armed;
    return armed;
}

void AppendArmedReport()
{
    ArmedReport& armed = Armed();
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : armed.arguments)
        argv.push_back(&argument[0]);
    AppendTimingReportIfRequested(static_cast<int>(argv.size()), argv.data(), armed.exitCode, armed.start);
}

} // namespace

void ArmTimingReport(int argc, wchar_t* argv[])
{
    const long long start = ReadCostClock();
    try {
        if (GetTimingReportPath().empty())
            return;
        // Whatever the report reads must outlive the call at exit: made
        // before it is registered.
        Timings();
        ArmedReport& armed = Armed();
        armed.start = start;
        for (int i = 0; i < argc; ++i)
            armed.arguments.emplace_back(argv[i] != nullptr ? argv[i] : L"");
        std::atexit(&AppendArmedReport);
    } catch (...) {
    }
}

void SetTimingReportExitCode(int exitCode)
{
    Armed().exitCode = exitCode;
}
