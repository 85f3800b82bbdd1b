#pragma once
// Time the program spends on its own bookkeeping (the text log, the
// registry backup and the result log), kept apart from the time of the
// cleanup work itself so that the two can be compared.
//
// A ScopedCost around a piece of bookkeeping adds its wall time to the
// process-wide total of its kind. Meters nest without counting twice: only
// the outermost meter of the calling thread measures, whatever the kinds
// (a text-log line written during a registry export is backup time). A
// meter costs two reads of the performance counter and one atomic add;
// an inner meter costs neither.

enum class CostKind { TextLog = 0, Backup = 1, ResultLog = 2 };
const int CostKindCount = 3;

// The totals in performance-counter ticks, by kind.
struct CostTicks {
    long long ticks[CostKindCount] = {};

    long long& operator[](CostKind kind) { return ticks[static_cast<int>(kind)]; }
    long long operator[](CostKind kind) const { return ticks[static_cast<int>(kind)]; }
    long long Total() const;
    // this - earlier, kind by kind.
    CostTicks Since(const CostTicks& earlier) const;
};

class ScopedCost {
public:
    explicit ScopedCost(CostKind kind);
    ~ScopedCost();
    ScopedCost(const ScopedCost&) = delete;
    ScopedCost& operator=(const ScopedCost&) = delete;

private:
    CostKind m_kind;
    bool m_outermost;
    long long m_start = 0;
};

// The totals accrued so far by all threads of the process.
CostTicks GetCostTicks();

// The performance counter now, and a tick count in seconds.
long long ReadCostClock();
double CostTicksToSeconds(long long ticks);
