#include "steps/MetaInstallerStep.h"

#include <utility>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "system/Console.h"
#include "system/ErrorText.h"
#include "system/MachineChanges.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

bool MetaInstallerRebootNeeded = false;

const wchar_t* const UninstallKeyPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

} // namespace

const wchar_t* const LongUninstallWarning =
    L"The uninstall process may take several minutes to complete and tool may seem unresponsive during this time. "
    L"To prevent the system from becoming unstable or unusable, do not terminate or relaunch the tool.";

void SetMetaInstallerRebootNeeded(bool needed)
{
    MetaInstallerRebootNeeded = needed;
}

bool IsMetaInstallerRebootNeeded()
{
    return MetaInstallerRebootNeeded;
}

MetaInstallerStep::MetaInstallerStep(int number, const std::string& name)
    : MetaInstallerStep(number, name, CConfiguration::GetInstance().GetInstallerNames())
{
}

MetaInstallerStep::MetaInstallerStep(int number, const std::string& name, std::vector<std::string> installerNames)
    : BaseStep(name, number), m_installerNames(std::move(installerNames))
{
}

void MetaInstallerStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    const bool silent = options != nullptr && options->silent;
    const bool allowRestart = options != nullptr && options->metaInstallerReboot;
    RunBody([this, silent, allowRestart] {
        if (!silent)
            ConsoleWriteLine(LongUninstallWarning);
        int exitCode = 0;
        if (CallMetaInstaller(allowRestart, exitCode)) {
            const bool knownCode = exitCode >= -1 && exitCode <= 8 && exitCode != 0;
            // The pending-restart test is only made for the codes it decides.
            const bool pending = knownCode && exitCode != 3 && exitCode != 4 && exitCode != 8
                                 ? Utils::IsPendingReboot()
                                 : false;
            if (ExitCodeNeedsRestart(exitCode, pending))
                SetMetaInstallerRebootNeeded(true);
        }
        SetStatus(StatusContinue);
    });
}

bool MetaInstallerStep::ExitCodeNeedsRestart(int exitCode, bool restartPending)
{
    switch (exitCode) {
    case 3:
    case 4:
    case 8:
        return true;
    case -1:
    case 1:
    case 2:
    case 5:
    case 6:
    case 7:
        return restartPending;
    default:
        return false;
    }
}

bool MetaInstallerStep::CallMetaInstaller(bool allowRestart, int& exitCode)
{
    const wchar_t* const function = L"MetaInstallerStep::CallMetaInstaller";
    WriteDebugLine(L"%ws Entry", function);
    for (const std::string& name : m_installerNames) {
        const std::wstring wideName = Utf8ToWide(name);
        bool found = false;
        exitCode = FindAndRemoveCartwheel(UninstallKeyPath + wideName, found, allowRestart);
        if (!found)
            continue;
        WriteDebugLine(L"%ws: %ws", function, L"Found ZRA installed ");
        UninstallXmlLog::GetInstance().AddItem(MIXmlLogItem(exitCode, name));
        if (exitCode != 0)
            WriteDebugLine(L"%ws: ERROR: uninstall exit value is %d", function, exitCode);
        else
            WriteDebugLine(L"%ws: Uninstall MetaInstaller succeeded", function);
        return true;
    }
    WriteDebugLine(L"%ws Exit", function);
    return false;
}

int FindAndRemoveCartwheel(const std::wstring& keyPath, bool& found, bool allowRestart)
{
    const wchar_t* const function = L"FindAndRemoveCartwheel";
    int result = -1;
    found = false;
    const REGSAM views[] = {KEY_READ | KEY_WOW64_64KEY, KEY_READ | KEY_WOW64_32KEY};
    for (REGSAM access : views) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, access, key.put()) != ERROR_SUCCESS)
            continue;
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), L"UninstallString", nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            continue;
        // Room for a terminator the stored value may lack.
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
        DWORD read = size;
        if (RegQueryValueExW(key.get(), L"UninstallString", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &read) != ERROR_SUCCESS)
            continue;
        found = true;
        std::wstring commandLine = QuoteUninstallProgramPath(data.data());
        commandLine += allowRestart ? L" /PASSIVE" : L" /PASSIVE /NOREBOOT";
        WriteDebugLine(L"%ws: UninstallString: %ws", function, commandLine.c_str());

        DWORD exitCode = 0;
        const DWORD error = RunUninstallCommand(commandLine, exitCode);
        if (error == 0) {
            result = static_cast<int>(exitCode);
        } else {
            found = false;
            WriteDebugLine(L"%ws: Create Process MetaInstaller Failed: %s", function,
                           Utf8ToWide(GetWin32ErrorText(error)).c_str());
        }
    }
    return result;
}

std::wstring QuoteUninstallProgramPath(const std::wstring& command)
{
    size_t start = command.find_first_not_of(L" \t");
    if (start == std::wstring::npos || command[start] == L'"')
        return command;
    // The program path ends with the first ".exe" that ends a word.
    for (size_t pos = command.find(L'.', start); pos != std::wstring::npos; pos = command.find(L'.', pos + 1)) {
        if (pos + 4 > command.size())
            break;
        const std::wstring extension = command.substr(pos, 4);
        const bool isExe = (extension[1] == L'e' || extension[1] == L'E') &&
                           (extension[2] == L'x' || extension[2] == L'X') &&
                           (extension[3] == L'e' || extension[3] == L'E');
        const bool endsWord = pos + 4 == command.size() || command[pos + 4] == L' ' || command[pos + 4] == L'\t';
        if (!isExe || !endsWord)
            continue;
        const std::wstring program = command.substr(start, pos + 4 - start);
        if (program.find_first_of(L" \t") == std::wstring::npos)
            return command;
        return command.substr(0, start) + L"\"" + program + L"\"" + command.substr(pos + 4);
    }
    return command;
}

DWORD RunUninstallCommand(const std::wstring& commandLine, DWORD& exitCode)
{
    if (IsChangePreviewed(L"Run the agent's uninstaller", commandLine)) {
        exitCode = 0;
        return ERROR_SUCCESS;
    }
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return GetLastError();
    UniqueKernelHandle process(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode))
        exitCode = static_cast<DWORD>(-1);
    return 0;
}
