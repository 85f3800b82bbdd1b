#include "system/Diagnostics.h"

#include <cstdarg>
#include <vector>

#include "system/Format.h"

namespace {

// A program that never installs a sink keeps at most this many lines.
const size_t kMaxKeptLines = 1000;

DiagnosticSink g_sink = nullptr;
int g_deferrals = 0;
bool g_handingOver = false;

std::vector<std::wstring>& KeptLines()
{
    static std::vector<std::wstring> lines;
    return lines;
}

void Keep(std::wstring line)
{
    std::vector<std::wstring>& kept = KeptLines();
    if (kept.size() < kMaxKeptLines)
        kept.push_back(std::move(line));
}

// Hands the kept lines to the sink. Lines reported meanwhile (the sink's own
// first use may report some) are kept and follow in order.
void HandOver()
{
    if (g_sink == nullptr || g_deferrals > 0 || g_handingOver)
        return;
    g_handingOver = true;
    while (!KeptLines().empty() && g_sink != nullptr) {
        std::vector<std::wstring> lines;
        lines.swap(KeptLines());
        for (const std::wstring& line : lines)
            g_sink(line);
    }
    g_handingOver = false;
}

} // namespace

void SetDiagnosticSink(DiagnosticSink sink)
{
    g_sink = sink;
    try {
        HandOver();
    } catch (...) {
        g_handingOver = false;
    }
}

DiagnosticSink GetDiagnosticSink()
{
    return g_sink;
}

void WriteDiagnosticLine(const wchar_t* format, ...)
{
    try {
        va_list args;
        va_start(args, format);
        std::wstring line = FormatWideV(format, args);
        va_end(args);
        if (g_sink == nullptr || g_deferrals > 0 || g_handingOver) {
            Keep(std::move(line));
            return;
        }
        g_sink(line);
    } catch (...) {
    }
}

DiagnosticDeferral::DiagnosticDeferral()
{
    ++g_deferrals;
}

DiagnosticDeferral::~DiagnosticDeferral()
{
    --g_deferrals;
    try {
        HandOver();
    } catch (...) {
        g_handingOver = false;
    }
}
