#pragma once
#include "logs/Log.h"
#include "config/RunOptions.h"

// The guards the run sequence passes before any cleanup, in this order.
// Each returns true when it fired; the run then ends with the guard's exit
// code below and the later guards are not run.

const int ToolInstanceExitCode = 2;
const int MetaInstallerBusyExitCode = 3;
const int WindowsInstallerBusyExitCode = 4;

// "Halvora.ZRACleanupTool": created owned and kept for the whole process
// life, so that a second start in the same session fires this guard.
bool IsOneToolInstance(CDebugLog& log, const RunOptions& options);

// "Halvora.MetaInstaller" / "Global\_MSIExecute": when the installer holds
// its mutex, warn, wait for it without time-out, then register the
// re-launch and restart (Utils::SetRebootParamRun).
bool IsOneMetaInstallerInstance(CDebugLog& log, const RunOptions& options);
bool IsOneMSIInstance(CDebugLog& log, const RunOptions& options);
