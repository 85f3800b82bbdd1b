#include "steps/Reboot.h"

#include <windows.h>

#include <cstdio>
#include <initializer_list>
#include <vector>

#include "logs/Log.h"
#include "steps/InfoLog.h"
#include "system/Console.h"
#include "system/Format.h"
#include "system/MachineChanges.h"
#include "system/Privileges.h"
#include "system/ProgramInfo.h"
#include "system/RegistryKey.h"
#include "system/ScopeGuards.h"
#include "system/UniqueHandle.h"

namespace Utils {

const wchar_t* const RunOnceKeyPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t* const RunOnceValueName = L"HalvoraZraCleanup";
const wchar_t* const RestartYourselfText =
    L"ZRA Cleanup Utility needs to restart the system to continue cleanup. Please restart the system by yourself.";

namespace {

bool DriverRebootFlag = false;

// Reads the answer to a y/n question: the first character that is not a
// blank. End of input is no answer.
int ReadAnswer()
{
    for (;;) {
        const int c = std::fgetc(stdin);
        if (c == EOF)
            return EOF;
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f')
            return c;
    }
}

} // namespace

std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // The closing quote must not be escaped by trailing backslashes.
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring BuildRelaunchCommandLine(const RunOptions& options, const std::wstring& programPath)
{
    // The program path is never escaped: it cannot hold a quote.
    std::wstring line = L"\"" + programPath + L"\"";
    if (options.silent)
        line += L" -silent";
    if (options.verbose)
        line += L" -v";
    if (options.noReboot)
        line += L" -NoReboot";
    if (!options.configPath.empty())
        line += L" -Config " + QuoteArgument(options.configPath);
    if (!options.logPath.empty())
        line += L" -Logpath " + QuoteArgument(options.logPath);
    if (options.restartExitCode != 1)
        line += L" -ChangeExitCode1To " + ToWideDecimal(options.restartExitCode);
    if (!options.uploadEnabled)
        line += L" -DISABLEEXPERIENCEMETRICS";
    line += L" -Step " + ToWideDecimal(options.step);
    if (options.step == 2 && options.metaInstallerReboot)
        line += L" -MetaInstallerReboot";
    if (options.step == 6 && options.driverReboot)
        line += L" -DriverReboot";
    return line;
}

std::wstring GetShortPath(const std::wstring& path)
{
    if (path.empty())
        return path;
    std::vector<wchar_t> buffer(path.size() + 1);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetShortPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return path;
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
    return path;
}

std::wstring BuildRegisteredCommandLine(const RunOptions& options, const std::wstring& programPath,
                                        std::wstring (*shorten)(const std::wstring&))
{
    const std::wstring full = BuildRelaunchCommandLine(options, programPath);
    if (full.size() <= RunOnceCommandLineLimit || shorten == nullptr)
        return full;
    RunOptions shortened = options;
    if (!shortened.configPath.empty())
        shortened.configPath = shorten(shortened.configPath);
    if (!shortened.logPath.empty())
        shortened.logPath = shorten(shortened.logPath);
    const std::wstring line = BuildRelaunchCommandLine(shortened, shorten(programPath));
    return line.size() < full.size() ? line : full;
}

bool IsRunOnceValueSet()
{
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, RunOnceKeyPath, KEY_QUERY_VALUE | KEY_WOW64_64KEY);
    if (!key)
        return false;
    // Any value counts, however long (or short) its command line is. Asked
    // for its size only, so that the usual answer of a fresh start (no
    // value) leaves no error line in the text log.
    DWORD type = 0;
    DWORD size = 0;
    return RegQueryValueExW(key->GetHandle(), RunOnceValueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
}

void SetRebootParamRun(RunOptions options)
{
    const wchar_t* const name = L"Utils::SetRebootParamRun";
    GetDebugLog().WriteLine(L"%ws Entry", name);
    // A preview never restarts and leaves nothing for a re-launch; the
    // driver reports the restart and goes on with the next step.
    if (IsPreviewMode()) {
        GetDebugLog().WriteLine(L"%ws: Preview: no re-launch is registered, no restart is made (resume step %d)",
                                name, options.step);
        return;
    }

    if (options.unattended) {
        if (options.step != 4)
            ConsoleWriteLine(L"ZRA Cleanup Utility requires the system to be rebooted to continue cleanup. Please "
                             L"reboot the system.");
        // The driver phase rides along: an unattended start has no command
        // line of its own to carry " -DriverReboot".
        CInfoLog::GetInstance().SetStep(options.step, options.step == 6 && options.driverReboot);
        return;
    }

    const std::wstring programPath = GetProgramPath();
    const std::wstring fullLine = BuildRelaunchCommandLine(options, programPath);
    const std::wstring commandLine = BuildRegisteredCommandLine(options, programPath);
    GetDebugLog().WriteLine(L"%ws: CommandLineString: %ws", name, commandLine.c_str());
    if (fullLine.size() > RunOnceCommandLineLimit) {
        // Windows does not run a longer RunOnce command: the cleanup would
        // not continue after the restart, with nothing said about it.
        GetDebugLog().WriteLine(L"%ws: Error: the command line is %d characters long; Windows runs at most %d "
                                L"characters from RunOnce",
                                name, static_cast<int>(fullLine.size()), static_cast<int>(RunOnceCommandLineLimit));
        if (commandLine.size() <= RunOnceCommandLineLimit)
            GetDebugLog().WriteLine(L"%ws: the short form of its paths is registered (%d characters)", name,
                                    static_cast<int>(commandLine.size()));
        else
            GetDebugLog().WriteLine(L"%ws: Error: the command line is still %d characters long with the short form "
                                    L"of its paths; the cleanup will not continue by itself after the restart: "
                                    L"start the tool again with the same options (shorter /Config and /Logpath "
                                    L"paths avoid this)",
                                    name, static_cast<int>(commandLine.size()));
    }

    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, RunOnceKeyPath, KEY_SET_VALUE | KEY_WOW64_64KEY);
    if (key && key->SetStringValue(RunOnceValueName, commandLine) == ERROR_SUCCESS)
        GetDebugLog().WriteLine(L"%ws: succeeded to add Post-Restart Deletion value", name);

    if (!options.noReboot) {
        RunReboot(options.silent);
    } else if (options.silent) {
        GetDebugLog().WriteLine(L"%ws: %ws", name, RestartYourselfText);
    } else {
        ConsoleWriteLine(RestartYourselfText);
        ConsolePause();
    }
    GetDebugLog().WriteLine(L"%ws Exit", name);
}

bool RunReboot(bool silent)
{
    if (IsPreviewMode()) {
        GetDebugLog().WriteLine(L"%ws: Preview: no restart is made", L"Utils::RunReboot");
        return true;
    }
    const wchar_t* const name = L"Utils::RunReboot";
    if (!silent) {
        ConsoleWriteLine(L"");
        ConsoleWriteLine(L"ZRA Cleanup Utility needs to restart the system to continue cleanup. Would you like to "
                         L"restart now (y/n)?");
        const int answer = ReadAnswer();
        if (answer != 'y' && answer != 'Y') {
            GetDebugLog().WriteLine(L"%ws: User choosed to reboot system later", name);
            return true;
        }
    }

    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
        GetDebugLog().WriteLine(L"%ws: OpenProcess Failed ", name);
        return false;
    }
    EnabledPrivilege debug(token.get(), L"SeDebugPrivilege");
    if (!debug.IsEnabled())
        GetDebugLog().WriteLine(L"%ws: SetPrivilege Failed: %ws", name, L"SeDebugPrivilege");
    EnabledPrivilege shutdown(token.get(), L"SeShutdownPrivilege");
    if (!shutdown.IsEnabled())
        GetDebugLog().WriteLine(L"%ws: SetPrivilege Failed: %ws", name, L"SeShutdownPrivilege");

    wchar_t message[] = L"Shutting Down in 5 seconds";
    const BOOL requested = InitiateSystemShutdownW(nullptr, message, 5, TRUE, TRUE);
    const DWORD error = requested ? ERROR_SUCCESS : GetLastError();

    // The request is made: the privileges go back off in the order they
    // were enabled, then the token is closed.
    for (EnabledPrivilege* privilege : {&debug, &shutdown}) {
        if (privilege->IsEnabled())
            privilege->Disable();
    }
    token.reset();

    if (!requested) {
        GetDebugLog().WriteLine(L"%ws: Shutdown Failed, error: %ld", name, static_cast<long>(error));
        return false;
    }
    GetDebugLog().WriteLine(L"%ws: Rebooting System", name);
    return true;
}

void UnattendedParamRun(RunOptions& options)
{
    const wchar_t* const name = L"Utils::UnattendedParamRun";
    GetDebugLog().WriteLine(L"%ws: Enter Unattended mode", name);
    int step = 0;
    CInfoLog& infoLog = CInfoLog::GetInstance();
    bool driverReboot = false;
    if (infoLog.GetStep(step, &driverReboot)) {
        options.step = step;
        if (driverReboot)
            options.driverReboot = true;
        // A preview reads the saved step and leaves the file for the real run.
        if (!IsPreviewMode())
            infoLog.RemoveInfoLog();
    } else {
        options.step = 0;
    }
    GetDebugLog().WriteLine(L"%ws: Exit Unattended mode step %d", name, options.step);
}

void SetDriverRebootFlag(bool required)
{
    DriverRebootFlag = required;
}

bool GetDriverRebootFlag()
{
    return DriverRebootFlag;
}

} // namespace Utils
