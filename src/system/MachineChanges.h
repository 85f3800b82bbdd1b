#pragma once
// The one switch between a cleanup that changes the machine and a preview
// that only tells what it would change.
//
// Every function that changes the machine (ends a process, stops, disables
// or deletes a service, deletes a file, folder, registry key or value,
// writes a value, takes ownership, uninstalls a product, removes a device
// or driver package) starts with one line:
//
//     if (IsChangePreviewed(L"Delete file", path))
//         return <what the caller reads as success>;
//
// In a preview the call hands the change (its kind, its target and the
// step that runs) to the sink and returns true: the function then returns
// success without touching anything, so the caller's detection and records
// go on exactly as in a real run. Outside a preview it returns false and
// the function does its work. Code that writes the program's own state
// (resume marker, RunOnce re-launch, step file, registry backup) asks
// IsPreviewMode() instead and skips the write without reporting it. The
// registry exports write nothing in a preview; a deletion that must not go
// ahead without its backup checks IsRegistryBackupWritten()
// (system/RegistryBackup.h), which holds in a preview.
//
// The system layer knows nothing of the logs; the logs layer installs the
// sink that records and prints the changes.
#include <string>

enum class ChangeMode {
    Apply,    // changes are made
    Preview,  // changes are only reported
};

void SetChangeMode(ChangeMode mode);
ChangeMode GetChangeMode();
bool IsPreviewMode();

// One change a preview reports.
struct PlannedChange {
    std::wstring kind;    // "Terminate process", "Delete file", ...
    std::wstring target;  // what it applies to, as shown to the user
    int step = 0;         // the step that runs (0: none)
};

// Receives each reported change. It must not throw.
using PlannedChangeSink = void (*)(const PlannedChange& change);
// Installs the sink (nullptr removes it).
void SetPlannedChangeSink(PlannedChangeSink sink);

// The step reported with each change; the driver sets it before each step.
void SetChangeStep(int step);
int GetChangeStep();

// The switch every change function consults (see above). Never throws.
bool IsChangePreviewed(const wchar_t* kind, const std::wstring& target);

// The number of changes reported since the mode was last set.
int GetPlannedChangeCount();
