#pragma once
#include <string>

// The parsed command line. The driver keeps its own copy; steps may change
// step, metaInstallerReboot and driverReboot before they ask for a restart.
struct RunOptions {
    bool verbose = false;
    bool silent = false;
    bool noReboot = false;
    bool uploadEnabled = true;
    bool metaInstallerReboot = false;
    bool driverReboot = false;
    bool unattended = false;
    bool preview = false;     // only report what the cleanup would change
    std::wstring configPath;
    std::wstring logPath;
    int step = 0;             // 0: start from the first step
    int restartExitCode = 1;  // exit code of a run that stops for a restart
};
