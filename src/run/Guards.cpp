#include "run/Guards.h"

#include <windows.h>

#include "steps/Reboot.h"
#include "system/Console.h"
#include "system/UniqueHandle.h"

namespace {

const wchar_t* const WarningLine =
    L"To prevent the system from becoming unstable or unusable, do not terminate or relaunch ZRA Cleanup "
    L"Utility. Instead, allow the removal process to complete on its own then restart the system when "
    L"prompted to do so by the tool.";

struct InstallerGuardTexts {
    const wchar_t* mutexName;
    const wchar_t* label;
    const wchar_t* detectionErrorLog;
    const wchar_t* detectionErrorConsole;
    const wchar_t* busyLog;
    const wchar_t* busyConsole;  // lines before the warning line, each ended by "\n"
    const wchar_t* finishedConsole;
    const wchar_t* finishedLog;
};

const InstallerGuardTexts MetaInstallerTexts = {
    L"Halvora.MetaInstaller",
    L"IsOneMetaInstallerInstance",
    L"%ws : There was an error detecting an instance of Halvora Meta-Installer, GetLastError = %d, Exiting the tool.",
    L"There was an error detecting an instance of Halvora Meta-Installer. Exiting the tool...",
    L"%ws : An instance of Halvora Meta-Installer is already running, alerting user and waiting for "
    L"Meta-Installer to finish.",
    L"\nAn instance of Halvora Meta-Installer is already running...\n",
    L"\nHalvora Meta-Installer has finished removing ZRA components.\n",
    L"%ws : Halvora Meta-Installer has finished removing ZRA components, prompting user for reboot",
};

const InstallerGuardTexts WindowsInstallerTexts = {
    L"Global\\_MSIExecute",
    L"IsOneMSIInstance",
    L"%ws : There was an error detecting an instance of Windows Installer. GetLastError = %d, Exiting the tool.",
    L"There was an error detecting an instance of Windows Installer. Exiting the tool...",
    L"%ws : Detected Windows Installer is running, alerting user and waiting for Windows Installer to finish.",
    L"Windows Installer is currently running...\n",
    L"\nWindows Installer has finished removing MSIs.\n",
    L"%ws : Windows Installer has finished removing MSIs, prompting user for reboot",
};

// The tool's own mutex, held for the whole process life: it is released
// deliberately and closed by Windows when the process ends.
HANDLE ToolInstanceMutex = nullptr;

bool IsInstallerBusy(CDebugLog& log, const RunOptions& options, const InstallerGuardTexts& texts)
{
    UniqueKernelHandle owned(CreateMutexW(nullptr, FALSE, texts.mutexName));
    const DWORD error = GetLastError();
    const HANDLE mutex = owned.get();
    if (mutex == nullptr) {
        log.WriteLine(texts.detectionErrorLog, texts.label, static_cast<int>(error));
        ConsoleWriteLine(texts.detectionErrorConsole);
        return true;
    }
    if (error != ERROR_ALREADY_EXISTS)
        return false;

    log.WriteLine(texts.busyLog, texts.label);
    if (!options.silent) {
        ConsoleWrite(texts.busyConsole);
        ConsoleWriteLine(WarningLine);
    }
    const DWORD wait = WaitForSingleObject(mutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return true;
    ReleaseMutex(mutex);
    owned.reset();
    if (!options.silent) {
        ConsoleWrite(texts.finishedConsole);
        log.WriteLine(texts.finishedLog, texts.label);
    }
    Utils::SetRebootParamRun(options);
    return true;
}

} // namespace

bool IsOneToolInstance(CDebugLog& log, const RunOptions& options)
{
    UniqueKernelHandle mutex(CreateMutexW(nullptr, TRUE, L"Halvora.ZRACleanupTool"));
    const DWORD error = GetLastError();
    if (mutex && error != ERROR_ALREADY_EXISTS) {
        ToolInstanceMutex = mutex.release();
        return false;
    }
    log.WriteLine(L"%ws : There is an instance of ZRA Cleanup Utility already running on the system, Exiting the tool...",
                  L"IsOneToolInstance");
    if (!options.silent) {
        ConsoleWriteLine(L"There is an instance of ZRA Cleanup Utility already running on the system, Exiting the tool...");
        Sleep(3000);
    }
    if (mutex) {
        ReleaseMutex(mutex.get());
        mutex.reset();
    }
    return true;
}

bool IsOneMetaInstallerInstance(CDebugLog& log, const RunOptions& options)
{
    return IsInstallerBusy(log, options, MetaInstallerTexts);
}

bool IsOneMSIInstance(CDebugLog& log, const RunOptions& options)
{
    return IsInstallerBusy(log, options, WindowsInstallerTexts);
}
