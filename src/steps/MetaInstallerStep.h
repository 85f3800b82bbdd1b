#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "steps/BaseStep.h"

// Step 2: the uninstall through the agent's meta-installer. The uninstall
// command registered under the agent's uninstall entry is run passively and
// waited for; its exit code is recorded and may ask for a restart, which the
// Windows Installer step takes at its end.
class MetaInstallerStep : public BaseStep {
public:
    // Takes the installer names of the process-wide configuration.
    MetaInstallerStep(int number, const std::string& name);
    // Takes the given installer names (UTF-8 uninstall-entry key names).
    MetaInstallerStep(int number, const std::string& name, std::vector<std::string> installerNames);
    void Run(RunOptions* options) override;

    // Runs the uninstall command of the first installer name whose entry
    // has one and records a "metaInstaller" item. True when an uninstaller
    // was started; exitCode is then its exit code.
    bool CallMetaInstaller(bool allowRestart, int& exitCode);

    // Whether an exit code asks for a restart: 3, 4 and 8 always; -1, 1, 2,
    // 5, 6 and 7 when a restart is pending; any other code never.
    static bool ExitCodeNeedsRestart(int exitCode, bool restartPending);

    const std::vector<std::string>& GetInstallerNames() const { return m_installerNames; }

private:
    std::vector<std::string> m_installerNames;
};

// The warning both installer steps show before they start their work.
extern const wchar_t* const LongUninstallWarning;

// The process-wide flag "the meta-installer asked for a restart", read by
// the Windows Installer step at its end.
void SetMetaInstallerRebootNeeded(bool needed);
bool IsMetaInstallerRebootNeeded();

// Looks up "UninstallString" under the HKEY_LOCAL_MACHINE key path in the
// 64-bit and then the 32-bit registry view and runs each command found with
// " /PASSIVE" (allowRestart) or " /PASSIVE /NOREBOOT" appended, waiting for
// it. found tells whether an uninstaller was started. Returns the exit code
// of the last one run, -1 when none ran.
int FindAndRemoveCartwheel(const std::wstring& keyPath, bool& found, bool allowRestart);

// The registered uninstall command made safe to hand to CreateProcessW: a
// program path with blanks that is not in quotes (up to and including its
// first ".exe" that ends a word) is put in quotes, so that "C:\Program
// Files\x\setup.exe /x" cannot start "C:\Program.exe". Anything else is
// returned unchanged.
std::wstring QuoteUninstallProgramPath(const std::wstring& command);

// The one place where the meta-installer is started: runs the command line,
// waits for it without time limit and stores its exit code. Returns 0 or
// the CreateProcessW error code.
DWORD RunUninstallCommand(const std::wstring& commandLine, DWORD& exitCode);
