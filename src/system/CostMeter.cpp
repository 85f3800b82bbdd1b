#include "system/CostMeter.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<long long> g_totals[CostKindCount];

// Meters open on this thread; only the outermost one measures.
thread_local int t_depth = 0;

} // namespace

long long CostTicks::Total() const
{
    long long total = 0;
    for (long long value : ticks)
        total += value;
    return total;
}

CostTicks CostTicks::Since(const CostTicks& earlier) const
{
    CostTicks difference;
    for (int i = 0; i < CostKindCount; ++i)
        difference.ticks[i] = ticks[i] - earlier.ticks[i];
    return difference;
}

ScopedCost::ScopedCost(CostKind kind) : m_kind(kind), m_outermost(t_depth++ == 0)
{
    if (m_outermost)
        m_start = ReadCostClock();
}

ScopedCost::~ScopedCost()
{
    --t_depth;
    if (m_outermost)
        g_totals[static_cast<int>(m_kind)].fetch_add(ReadCostClock() - m_start, std::memory_order_relaxed);
}

CostTicks GetCostTicks()
{
    CostTicks totals;
    for (int i = 0; i < CostKindCount; ++i)
        totals.ticks[i] = g_totals[i].load(std::memory_order_relaxed);
    return totals;
}

long long ReadCostClock()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double CostTicksToSeconds(long long ticks)
{
    static const long long frequency = [] {
        LARGE_INTEGER value;
        return QueryPerformanceFrequency(&value) && value.QuadPart > 0 ? value.QuadPart : 1LL;
    }();
    return static_cast<double>(ticks) / static_cast<double>(frequency);
}
