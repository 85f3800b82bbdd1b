#pragma once
#include <string>

// Local time as "%02d-%02d-%02d %02d:%02d:%02d:%03d" (four-digit year first,
// milliseconds last), the stamp of every text-log line and result-log item.
std::string GetTimeStamp();

// File version of the given file's version resource as "%d.%d.%d.%d";
// empty when the path is empty or the file has no version resource.
std::string GetOwnFileVersion(const std::wstring& filePath);

// Full path of the running program; empty when Windows cannot tell it.
std::wstring GetProgramPath();

// Folder of the running program, with its trailing backslash.
std::wstring GetProgramFolder();

// The running program's own file version, "%d.%d.%d.%d".
std::string GetProgramVersion();
