// The bookkeeping cost meter: kinds, nesting without double counting, and
// meters on several threads.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "system/CostMeter.h"

namespace {

double SecondsOf(const CostTicks& cost, CostKind kind)
{
    return CostTicksToSeconds(cost[kind]);
}

} // namespace

TEST(CostMeter, EachKindCollectsOnlyItsOwnTime)
{
    const CostKind kinds[] = {CostKind::TextLog, CostKind::Backup, CostKind::ResultLog};
    for (CostKind kind : kinds) {
        const CostTicks before = GetCostTicks();
        {
            ScopedCost meter(kind);
            Sleep(30);
        }
        const CostTicks added = GetCostTicks().Since(before);
        EXPECT_GE(SecondsOf(added, kind), 0.025) << static_cast<int>(kind);
        for (CostKind other : kinds) {
            if (other != kind)
                EXPECT_EQ(0, added[other]) << static_cast<int>(kind) << " counted as " << static_cast<int>(other);
        }
        EXPECT_EQ(added[kind], added.Total());
    }
}

TEST(CostMeter, OnlyTheOutermostMeterOfAThreadCounts)
{
    const CostTicks before = GetCostTicks();
    {
        ScopedCost outer(CostKind::Backup);
        Sleep(20);
        {
            // A text-log line written during a registry export.
            ScopedCost inner(CostKind::TextLog);
            Sleep(30);
            ScopedCost innermost(CostKind::ResultLog);
            Sleep(10);
        }
    }
    const CostTicks added = GetCostTicks().Since(before);
    EXPECT_EQ(0, added[CostKind::TextLog]);
    EXPECT_EQ(0, added[CostKind::ResultLog]);
    EXPECT_GE(SecondsOf(added, CostKind::Backup), 0.055);

    // Once the outer meter has closed, the next meter measures again.
    const CostTicks later = GetCostTicks();
    {
        ScopedCost meter(CostKind::TextLog);
        Sleep(20);
    }
    EXPECT_GE(SecondsOf(GetCostTicks().Since(later), CostKind::TextLog), 0.015);
}

TEST(CostMeter, AMeterOnAnotherThreadCountsWhileThisThreadHoldsOne)
{
    const CostTicks before = GetCostTicks();
    {
        ScopedCost outer(CostKind::ResultLog);
        std::thread worker([] {
            ScopedCost meter(CostKind::TextLog);
            Sleep(40);
        });
        worker.join();
    }
    const CostTicks added = GetCostTicks().Since(before);
    EXPECT_GE(SecondsOf(added, CostKind::TextLog), 0.035);
    EXPECT_GE(SecondsOf(added, CostKind::ResultLog), 0.035);
}

TEST(CostMeter, ConcurrentMetersLoseNoTime)
{
    // Four threads, each metering ten sleeps of 10 ms at the same time: the
    // total is the sum over the threads, not the wall time.
    const CostTicks before = GetCostTicks();
    const long long started = ReadCostClock();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 10; ++i) {
                ScopedCost meter(CostKind::Backup);
                Sleep(10);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const double wall = CostTicksToSeconds(ReadCostClock() - started);
    const double counted = SecondsOf(GetCostTicks().Since(before), CostKind::Backup);
    EXPECT_GE(counted, 0.36);
    EXPECT_LE(counted, 4 * wall);
}

TEST(CostMeter, TicksConvertWithTheCounterFrequency)
{
    LARGE_INTEGER frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_DOUBLE_EQ(2.5, CostTicksToSeconds(frequency.QuadPart * 5 / 2));
    EXPECT_DOUBLE_EQ(0.0, CostTicksToSeconds(0));

    CostTicks a;
    a[CostKind::TextLog] = 7;
    a[CostKind::Backup] = 11;
    a[CostKind::ResultLog] = 13;
    CostTicks b;
    b[CostKind::TextLog] = 2;
    b[CostKind::ResultLog] = 3;
    const CostTicks d = a.Since(b);
    EXPECT_EQ(5, d[CostKind::TextLog]);
    EXPECT_EQ(11, d[CostKind::Backup]);
    EXPECT_EQ(10, d[CostKind::ResultLog]);
    EXPECT_EQ(26, d.Total());
}
