#pragma once
#include <string>

// The resume marker: "HvrZraCleanupOverwriteLog" (REG_DWORD 0) under
// HKEY_LOCAL_MACHINE "Software\Microsoft\Windows\CurrentVersion", always in
// the 64-bit view, present from the moment a run has prepared its steps
// until the run completes. While it is set, a new start reuses the first
// run's cleanup temp folder (remembered as "HalvoraTempFolder") and appends
// to its files. A preview neither sets nor clears nor remembers anything.
void SetOverwriteLogMarker();
bool IsOverwriteLogMarkerSet();
// Removes the marker and the remembered temp folder.
void ClearOverwriteLogMarker();
// True when the marker is set and this process did not set it: the run
// continues the files of an earlier run. A fresh run sets the marker itself
// before its first registry export, so the marker alone cannot tell.
bool IsResumingEarlierRun();

// "HalvoraTempFolder": the cleanup temp folder of the run that set the
// marker. The read gives false (and an empty folder) when it is missing.
bool ReadRememberedTempFolder(std::wstring& folder);
void RememberTempFolder(const std::wstring& folder);
