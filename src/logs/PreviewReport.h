#pragma once
// What a preview tells about each change it would make: one line in the
// text log and, unless silent, one console line below the banner of the
// step that would make it.
#include <string>

#include "system/MachineChanges.h"

// The console line of a change: a tab, the kind, ": ", the target.
std::wstring FormatPlannedChangeLine(const PlannedChange& change);

// Switches the process to preview mode and installs the sink that logs and
// (unless silent) prints every reported change.
void StartPreviewReport(bool silent);

// The closing line of a preview: the number of changes, or, when there is
// none, NothingFoundText.
std::wstring GetPreviewSummaryText(int changeCount);

extern const wchar_t* const NothingFoundText;
