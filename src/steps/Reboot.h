#pragma once
#include <string>

#include "config/RunOptions.h"

namespace Utils {

// HKEY_LOCAL_MACHINE (64-bit view) key and value of the re-launch that
// Windows runs once at the next administrator logon.
extern const wchar_t* const RunOnceKeyPath;
extern const wchar_t* const RunOnceValueName;

// Shown (or, when silent, logged) when the user has to restart the machine.
extern const wchar_t* const RestartYourselfText;

// The command line that re-launches the program with the options: the
// program path in quotes, then " -silent", " -v", " -NoReboot",
// " -Config <path>", " -Logpath <path>", " -ChangeExitCode1To <n>",
// " -DISABLEEXPERIENCEMETRICS", " -Step <n>", " -MetaInstallerReboot" (only
// with step 2), " -DriverReboot" (only with step 6), each only when it
// applies. Paths holding blanks are quoted so that they read back unchanged.
std::wstring BuildRelaunchCommandLine(const RunOptions& options, const std::wstring& programPath);

// The longest command line Windows runs from a RunOnce value.
const size_t RunOnceCommandLineLimit = 260;

// The short (8.3) form of an existing path; the path itself when Windows
// has none for it.
std::wstring GetShortPath(const std::wstring& path);

// The re-launch command line as it is registered: the full form, or, when
// that is longer than Windows runs from RunOnce, the same line with the
// program, /Config and /Logpath paths in their short form (given by
// shorten), if that is shorter. The caller compares the result with
// RunOnceCommandLineLimit.
std::wstring BuildRegisteredCommandLine(const RunOptions& options, const std::wstring& programPath,
                                        std::wstring (*shorten)(const std::wstring&) = GetShortPath);

// One command-line argument as the C runtime and CommandLineToArgvW read
// it back: unchanged when it needs no quotes, otherwise in quotes with
// embedded quotes and the backslashes before them escaped.
std::wstring QuoteArgument(const std::wstring& argument);

// True while the RunOnce re-launch value exists (the restart it waits for
// has not happened yet).
bool IsRunOnceValueSet();

// Registers the re-launch in RunOnce and restarts (after asking unless
// silent; not at all with noReboot, the user is then told to restart). In
// unattended mode only the step file is written.
void SetRebootParamRun(RunOptions options);

// Asks "(y/n)?" unless silent and restarts the machine with a 5-second
// countdown. An answer other than y/Y, or no answer at all (end of input),
// leaves the restart to the user and returns true. False when the restart
// could not be requested.
bool RunReboot(bool silent);

// At an unattended start: take the step saved in the step file (0 when
// there is none) and delete the file.
void UnattendedParamRun(RunOptions& options);

// The process-wide driver-reboot flag: set by the driver step when a driver
// change needs a restart; read by the driver after the last step.
void SetDriverRebootFlag(bool required);
bool GetDriverRebootFlag();

} // namespace Utils
