#include "logs/PreviewReport.h"

#include "logs/Log.h"
#include "system/Console.h"
#include "system/Format.h"

const wchar_t* const NothingFoundText = L"Nothing of the ZRA was found on this machine: there is nothing to remove.";

namespace {

bool g_silent = false;

void ReportPlannedChange(const PlannedChange& change)
{
    if (change.step > 0)
        GetDebugLog().WriteLine(L"%ws: [Step %d] %ws: %ws", L"Preview", change.step, change.kind.c_str(),
                                change.target.c_str());
    else
        GetDebugLog().WriteLine(L"%ws: %ws: %ws", L"Preview", change.kind.c_str(), change.target.c_str());
    if (!g_silent)
        ConsoleWriteLine(FormatPlannedChangeLine(change));
}

} // namespace

std::wstring FormatPlannedChangeLine(const PlannedChange& change)
{
    return L"\t" + change.kind + L": " + change.target;
}

void StartPreviewReport(bool silent)
{
    g_silent = silent;
    SetChangeMode(ChangeMode::Preview);
    SetPlannedChangeSink(ReportPlannedChange);
}

std::wstring GetPreviewSummaryText(int changeCount)
{
    if (changeCount <= 0)
        return NothingFoundText;
    return FormatWide(L"Preview complete: the cleanup would make %d change%ws. Nothing was changed.", changeCount,
                      changeCount == 1 ? L"" : L"s");
}
