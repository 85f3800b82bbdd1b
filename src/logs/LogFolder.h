#pragma once
#include <string>

// The folder every output file of a run lives in, with its trailing
// backslash: the cleanup temp folder + "ZraCleanup\", or the /Logpath
// folder + "\ZraCleanup\" once the command line set an override. The
// folders are created on the way.
std::wstring GetLogFolder();

// The full path of a file in a log folder: folder + "\" + file name,
// made absolute (which also folds the doubled backslash); the joined text
// when Windows cannot make it absolute.
std::wstring GetLogFilePath(const std::wstring& folder, const std::wstring& fileName);

// The cleanup temp folder (the user's temp folder + "halvora\"), with its
// trailing backslash.
std::wstring GetCleanupTempFolder();

// Creates every missing directory along the path (a trailing separator is
// assumed). Returns 0 when the whole path exists afterwards, otherwise the
// Win32 error of the first directory that could not be created.
unsigned long CreateDirectoryPath(const std::wstring& path);

// The path made absolute against the current folder (GetFullPathNameW);
// the path as it is when Windows cannot make it absolute.
std::wstring GetFullPath(const std::wstring& path);

// True when the folder exists as a directory and a file can be created in
// it (a probe file is created and removed at once). error receives the
// Win32 code of the first check that failed.
bool IsUsableLogFolder(const std::wstring& folder, unsigned long& error);

// The process-wide log folder override, set from /Logpath.
void SetLogFolderOverride(const std::wstring& folder);
const std::wstring& GetLogFolderOverride();
