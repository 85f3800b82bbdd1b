#include "system/MachineChanges.h"

namespace {

ChangeMode g_mode = ChangeMode::Apply;
PlannedChangeSink g_sink = nullptr;
int g_step = 0;
int g_count = 0;

} // namespace

void SetChangeMode(ChangeMode mode)
{
    g_mode = mode;
    g_count = 0;
}

ChangeMode GetChangeMode()
{
    return g_mode;
}

bool IsPreviewMode()
{
    return g_mode == ChangeMode::Preview;
}

void SetPlannedChangeSink(PlannedChangeSink sink)
{
    g_sink = sink;
}

void SetChangeStep(int step)
{
    g_step = step;
}

int GetChangeStep()
{
    return g_step;
}

bool IsChangePreviewed(const wchar_t* kind, const std::wstring& target)
{
    if (g_mode != ChangeMode::Preview)
        return false;
    ++g_count;
    if (g_sink == nullptr)
        return true;
    try {
        PlannedChange change;
        change.kind = kind != nullptr ? kind : L"";
        change.target = target;
        change.step = g_step;
        g_sink(change);
    } catch (...) {
    }
    return true;
}

int GetPlannedChangeCount()
{
    return g_count;
}
