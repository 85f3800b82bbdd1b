// The timing report: step timers, the report's lines, and that the report
// is written only when ZRA_TIMING_REPORT asks for it, without touching the
// text log.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logs/Log.h"
#include "run/TimingReport.h"
#include "support/TestSupport.h"
#include "system/CostMeter.h"

namespace {

long long TicksPerSecond()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(text.size(), start) << "last line without its end";
    return lines;
}

class TimingReportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearStepTimings();
        SetEnvironmentVariableW(TimingReportVariable, nullptr);
    }
    void TearDown() override
    {
        ClearStepTimings();
        SetEnvironmentVariableW(TimingReportVariable, nullptr);
    }
    ScopedTempDir m_temp{L"timing"};
};

} // namespace

TEST_F(TimingReportTest, ReportLinesAreTabSeparatedSeconds)
{
    const long long second = TicksPerSecond();
    StepTiming files;
    files.number = 6;
    files.name = "Deleting ZRA files...";
    files.ticks = second * 3 / 2;
    files.cost[CostKind::TextLog] = second / 4;
    files.cost[CostKind::Backup] = second / 8;
    StepTiming registry;
    registry.number = 8;
    registry.name = "odd\tname\r\n";
    registry.ticks = second * 2;
    registry.cost[CostKind::ResultLog] = second / 2;
    CostTicks process;
    process[CostKind::TextLog] = second;
    process[CostKind::Backup] = second / 8;
    process[CostKind::ResultLog] = second * 3 / 4;

    const std::string report =
        BuildTimingReport(4242, -1, L"/silent /Config \"C:\\a b.xml\"", second * 5, process, {files, registry});
    const std::vector<std::string> expected = {
        "run\t4242\t-1\t/silent /Config \"C:\\a b.xml\"",
        "step\t6\tDeleting ZRA files...\t1.500000\t0.250000\t0.125000\t0.000000",
        "step\t8\todd name  \t2.000000\t0.000000\t0.000000\t0.500000",
        "process\t5.000000\t1.000000\t0.125000\t0.750000",
    };
    EXPECT_EQ(expected, Lines(report));
}

TEST_F(TimingReportTest, StepTimerRecordsWallTimeAndTheCostWithinTheStep)
{
    {
        ScopedCost before(CostKind::TextLog);
        Sleep(20);
    }
    {
        StepTimer timer(5, "Removing ZRA services...");
        Sleep(30);
        ScopedCost meter(CostKind::Backup);
        Sleep(20);
    }
    {
        ScopedCost after(CostKind::ResultLog);
        Sleep(20);
    }
    const std::vector<StepTiming> timings = GetStepTimings();
    ASSERT_EQ(1u, timings.size());
    EXPECT_EQ(5, timings[0].number);
    EXPECT_EQ("Removing ZRA services...", timings[0].name);
    EXPECT_GE(CostTicksToSeconds(timings[0].ticks), 0.045);
    EXPECT_GE(CostTicksToSeconds(timings[0].cost[CostKind::Backup]), 0.015);
    EXPECT_LE(timings[0].cost[CostKind::Backup], timings[0].ticks);
    EXPECT_EQ(0, timings[0].cost[CostKind::TextLog]);
    EXPECT_EQ(0, timings[0].cost[CostKind::ResultLog]);
}

TEST_F(TimingReportTest, NothingIsWrittenWithoutTheVariable)
{
    wchar_t program[] = L"ZRACleanupUtility.exe";
    wchar_t option[] = L"/silent";
    wchar_t* argv[] = {program, option};
    const std::wstring logPath = GetDebugLog().GetFilePath();
    const std::string logBefore = ReadFileBytes(logPath);

    EXPECT_EQ(L"", GetTimingReportPath());
    EXPECT_FALSE(AppendTimingReportIfRequested(2, argv, 0, ReadCostClock()));
    // An empty value asks for nothing either.
    {
        ScopedVariable empty(TimingReportVariable, L"");
        EXPECT_FALSE(AppendTimingReportIfRequested(2, argv, 0, ReadCostClock()));
    }
    // A variable set once and removed again leaves its file unwritten.
    const std::wstring report = m_temp.Path() + L"report.tsv";
    {
        ScopedVariable variable(TimingReportVariable, report);
    }
    EXPECT_FALSE(AppendTimingReportIfRequested(2, argv, 0, ReadCostClock()));
    EXPECT_FALSE(FileExists(report));
    EXPECT_EQ(logBefore, ReadFileBytes(logPath));
}

TEST_F(TimingReportTest, EveryProcessAppendsItsReportWhenAsked)
{
    const std::wstring report = m_temp.Path() + L"timing report.tsv";
    ScopedVariable variable(TimingReportVariable, report);
    EXPECT_EQ(report, GetTimingReportPath());
    const std::wstring logPath = GetDebugLog().GetFilePath();
    const std::string logBefore = ReadFileBytes(logPath);

    wchar_t program[] = L"ZRACleanupUtility.exe";
    wchar_t silent[] = L"/silent";
    wchar_t step[] = L"-Step";
    wchar_t four[] = L"4";
    wchar_t* argv[] = {program, silent, step, four};
    const long long start = ReadCostClock();
    { StepTimer timer(4, "Terminating ZRA processes..."); }
    ASSERT_TRUE(AppendTimingReportIfRequested(4, argv, 1, start));
    ClearStepTimings();
    ASSERT_TRUE(AppendTimingReportIfRequested(1, argv, 0, start));

    const std::vector<std::string> lines = Lines(ReadFileBytes(report));
    ASSERT_EQ(5u, lines.size());
    const std::string pid = std::to_string(GetCurrentProcessId());
    EXPECT_EQ("run\t" + pid + "\t1\t/silent -Step 4", lines[0]);
    EXPECT_EQ(0u, lines[1].find("step\t4\tTerminating ZRA processes...\t")) << lines[1];
    EXPECT_EQ(0u, lines[2].find("process\t")) << lines[2];
    EXPECT_EQ("run\t" + pid + "\t0\t", lines[3]);
    EXPECT_EQ(0u, lines[4].find("process\t")) << lines[4];
    for (const std::string& line : {lines[1], lines[2], lines[4]}) {
        size_t tabs = 0;
        for (char c : line)
            tabs += c == '\t';
        EXPECT_EQ(line[0] == 's' ? 6u : 4u, tabs) << line;
    }
    // The report is the only file the figures go to.
    EXPECT_EQ(logBefore, ReadFileBytes(logPath));
}
