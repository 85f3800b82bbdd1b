#pragma once
// The system layer's diagnostic lines. The registry wrapper, the privilege
// and hive functions and the system information functions report what goes
// wrong here; they know nothing of the log files. The text log installs
// itself as the sink at start-up and receives every line.
//
// While no sink is installed, or while a DiagnosticDeferral is alive, lines
// are kept in order and handed to the sink afterwards (the text log resolves
// its own folder through the registry before it can write, so the lines of
// that lookup follow its start header).
#include <string>

// Receives one formatted line (without a line end). It must not throw.
using DiagnosticSink = void (*)(const std::wstring& line);

// Installs the sink (nullptr removes it) and hands it the lines kept so far.
void SetDiagnosticSink(DiagnosticSink sink);
DiagnosticSink GetDiagnosticSink();

// Formats one line with the C runtime's wide printf rules (see Format.h) and
// hands it to the sink. Never fails its caller.
void WriteDiagnosticLine(const wchar_t* format, ...);

// Keeps the lines reported during its lifetime; when the outermost deferral
// ends they go to the sink, in order.
class DiagnosticDeferral {
public:
    DiagnosticDeferral();
    ~DiagnosticDeferral();
    DiagnosticDeferral(const DiagnosticDeferral&) = delete;
    DiagnosticDeferral& operator=(const DiagnosticDeferral&) = delete;
};
